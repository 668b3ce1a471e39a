// `kzp release`: one updater from every old release to the new one, made in
// parallel within one memory budget, and release.json, which describes them
// and what identifies each one's old release.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/kzp/make_settings.h"
#include "tools/kzp/package_maker.h"
#include "tools/kzp/sha256.h"

namespace kzp::tool {

// The file names of the updaters unless a pattern is given.
constexpr char kDefaultNamePattern[] = "{title}-{old}-to-{new}.exe";
constexpr char kReleaseJsonName[] = "release.json";

// The pattern with {title}, {old} and {new} filled in ("update" for an empty
// title), made a name Windows can store: characters it refuses become "_",
// trailing dots and spaces go, device names (CON, NUL, COM1, ...) get a "_"
// in front. Throws SettingsError for an unknown placeholder or a name longer
// than 255 characters.
std::string UpdaterFileName(const std::string& pattern, const std::string& title,
                            const std::string& oldVersion, const std::string& newVersion);

struct ReleasedUpdater {
    OldRelease old;
    std::string fileName;
    uint64_t size = 0;
    Sha256::Digest sha256{};
    writer::Digest md5{};
    MakeReport report;
};

struct ReleaseReport {
    std::vector<ReleasedUpdater> updaters;  // in the order the old releases were given
    uint64_t zipSize = 0;                   // the new release as a .zip
    uint64_t memoryPeak = 0;                // the most the jobs' matching took at once
};

// Checks the settings (new folder, old releases and their versions, the
// names, the output folder) before anything is made. Throws SettingsError for
// settings that cannot be used and FileError for folders that cannot be read
// or written.
void CheckReleaseSettings(const MakeSettings& settings);

// Makes every updater into settings.output with `jobs` at once (the matching
// of all of them within settings.memoryLimit), the .zip of the new release
// (measured, and written to `zipPath` when that is not empty), then
// release.json. `working` gets what each job works on, prefixed with its old
// version. The same settings give the same files whatever `jobs` is.
ReleaseReport MakeRelease(const MakeSettings& settings, unsigned jobs, const std::string& zipPath,
                          const Progress& working = {});

// release.json: no times and no paths of this machine, so the same release
// gives the same bytes.
nlohmann::ordered_json ReleaseJson(const MakeSettings& settings, const ReleaseReport& report);

}  // namespace kzp::tool
