// `kzp make`: compares two folders and builds the self-applying updater.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package/diff_decoder.h"
#include "tools/encoder/stream_check.h"
#include "tools/kzp/make_settings.h"
#include "tools/kzp/memory_budget.h"
#include "tools/package_writer/package_writer.h"

namespace kzp::tool {

// The largest block size `kzp make` writes: the updater holds one block, and
// only blocks up to this size fit its work buffer whole.
constexpr uint32_t kMaxBlockSize = kMaxWorkBuffer;

struct MadeEntry {
    std::string name;  // UTF-8, backslashes
    uint64_t oldSize = 0;
    uint64_t newSize = 0;
    uint64_t dataSize = 0;       // stream or contents in the package
    encoder::StreamStats stats;  // updates only
    // Updates and deletes: what the package checks the old file by (its MD5,
    // or its date and size, as the package's verify mode says).
    writer::Digest checkValue{};
};

struct MakeReport {
    std::vector<MadeEntry> updates;
    std::vector<MadeEntry> adds;
    std::vector<MadeEntry> deletes;
    uint64_t unchanged = 0;
    uint64_t packageSize = 0;  // package with its trailer
    uint64_t fileSize = 0;     // the whole updater file
    uint32_t padding = 0;
    uint32_t recoverySize = 0;  // the recovery record, its footer included
    std::string stub;           // the image used
    // Where a 32-bit image on 64-bit Windows would look elsewhere than a
    // 64-bit installer wrote (see wow64_warnings.h).
    std::vector<std::string> warnings;
    writer::Digest packageDigest{};  // the package's trailer: MD5 of its body
    writer::Digest updaterDigest{};  // MD5 of the whole updater file
};

// Called with a line for the user: `progress` once a file is done (what goes
// into the package), `working` when long work on a file starts (indexing,
// encoding, with sizes).
using Progress = std::function<void(const std::string&)>;

// The package the settings ask for (text conversions, lists, streams). With
// a `budget`, each matching takes its memory from it (builds that run at once
// share one).
writer::Package BuildPackage(const MakeSettings& settings, MakeReport* report,
                             const Progress& progress = {}, const Progress& working = {},
                             MemoryBudget* budget = nullptr);

// The updater image to put before the package: the file, padded with zeros
// to 0x18000 bytes; larger files are refused.
writer::Bytes LoadStubImage(const std::string& path);
// kzpupdater.exe beside the kzp program, else ../share/kzp/kzpupdater.exe
// from its folder (installed), else (developers' builds) the tree's 32-bit build.
std::string DefaultStubPath();

// Builds the package, writes image + package to settings.output.
MakeReport MakeUpdater(const MakeSettings& settings, const Progress& progress = {},
                       const Progress& working = {}, MemoryBudget* budget = nullptr);

// The text in `codePage`, or a SettingsError naming `what`.
std::string EncodeText(const std::string& utf8, uint32_t codePage, const std::string& what);
// A document file's bytes as the package carries them: UTF-8 (with or
// without a byte-order mark) converted to `codePage`, other bytes taken as
// they are; line breaks made CR LF.
std::string LoadDocument(const std::string& path, uint32_t codePage);

}  // namespace kzp::tool
