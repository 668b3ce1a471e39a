// What `kzp make` is asked to build: from a project file kept beside the
// vendor's sources, overridden by command-line options.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/encoder/diff_encoder.h"
#include "tools/package_writer/package_writer.h"

namespace kzp::tool {

// Thrown for settings that cannot be used, with a message for the user.
class SettingsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One language block: a built-in one ("en", "ja"), or a block of its own
// that starts from a built-in one (or empty texts) and replaces some slots.
struct LanguageSetting {
    std::string builtIn;  // "en", "ja", or empty for a block of its own
    std::optional<uint32_t> codePage;
    std::optional<std::string> fontFace;  // UTF-8
    std::optional<uint8_t> fontHeight;
    std::map<int, std::string> texts;  // slot -> UTF-8 text
};

// One old release that `kzp release` makes an updater from.
struct OldRelease {
    std::string folder;
    std::string version;  // its version name (UTF-8), also the backups' suffix
};

// Texts are UTF-8 here; they are converted to `codePage` when the package is
// built (language blocks to their own code pages).
struct MakeSettings {
    std::string oldFolder;
    std::string newFolder;
    std::string output;  // kzp release: the folder of the updaters and release.json
    // kzp release: every old release (a project file's "old" as a list), and
    // the pattern that names their updaters (empty: the default).
    std::vector<OldRelease> oldReleases;
    std::string namePattern;
    std::string stub;  // empty: the default updater image

    std::string title;
    std::string oldVersion;
    std::string newVersion;
    std::string copyright;
    std::optional<std::string> password;
    bool deleteBackups = true;
    uint32_t codePage = 1252;
    uint8_t verifyMode = 0;  // 0 MD5, 1 date and size
    uint32_t blockSize = 64 * 1024;
    // Cost of one opcode for the decoder, in stream bytes (see the encoder).
    uint32_t opcodeCost = encoder::kDefaultOpcodeCost;
    // Bytes the matching of one file may take; 0: no limit.
    uint64_t memoryLimit = encoder::kDefaultMemoryLimit;
    // A compact package (format 130): approximate copies and LZMA-coded data
    // that only this updater reads.
    bool compact = false;

    writer::TargetFolder target;  // type 0 (ask) unless set
    writer::RunningCheck check;   // type 0 (none) unless set
    std::string launchFile;
    std::string documentBefore;  // path of a text file, or empty
    std::string documentAfter;
    bool ignoreMissingUpdate = false;
    bool overwriteOnAdd = false;
    bool ignoreMissingDelete = false;
    std::vector<LanguageSetting> languages{{"en", {}, {}, {}, {}}, {"ja", {}, {}, {}, {}}};
};

// Names in project files and options are matched in any case of ASCII letters.
std::string Lower(std::string text);

// Names used in project files and options.
uint8_t ParseRegistryRoot(const std::string& text);  // HKCR HKCU HKLM HKU, full names, 0..3
uint8_t ParseBaseFolder(const std::string& text);    // windows system program-files
                                                     // windows-drive desktop documents none, 0..255
uint8_t ParseWaitMode(const std::string& text);      // none ask quiet, 0..255
uint8_t ParseVerifyMode(const std::string& text);    // md5 date-size
const char* RegistryRootName(uint8_t root);
std::string BaseFolderName(uint8_t base);
std::string WaitModeName(uint8_t wait);

// Reads a JSON project file into `settings`; relative paths in it count from
// the file's folder.
void LoadProjectFile(const std::string& path, MakeSettings* settings);

// Parses "--rule" texts: "registry|VAR|ROOT|KEY|VALUE" or
// "ini|VAR|BASE|FILE|SECTION|KEY".
writer::FolderRule ParseRuleText(const std::string& text);

}  // namespace kzp::tool
