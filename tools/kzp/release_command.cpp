#include "tools/kzp/release_command.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <thread>

#include "tools/kzp/exit_codes.h"
#include "tools/kzp/host.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/release_maker.h"

namespace kzp::tool {
namespace {

// "DIR=VERSION"; the last "=" divides them, since folders may hold one.
OldRelease ParseOld(const std::string& text) {
    const size_t equals = text.rfind('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
        throw SettingsError("--old takes DIR=VERSION, not \"" + text + "\"");
    return {text.substr(0, equals), text.substr(equals + 1)};
}

std::string Percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f %%",
                  100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text + "  " : text + std::string(width - text.size() + 2, ' ');
}

// Each updater beside the .zip of the whole new release.
void PrintTable(const MakeSettings& s, const ReleaseReport& r, std::ostream& out,
                std::ostream& err) {
    const std::string zipRow = "new release as .zip";
    size_t nameWidth = zipRow.size(), versionWidth = 3,
           sizeWidth = std::to_string(r.zipSize).size();
    for (const ReleasedUpdater& u : r.updaters) {
        nameWidth = std::max(nameWidth, u.fileName.size());
        versionWidth = std::max(versionWidth, u.old.version.size());
        sizeWidth = std::max(sizeWidth, std::to_string(u.size).size());
    }
    auto row = [&](const std::string& name, const std::string& version, const std::string& size,
                   const std::string& share, const std::string& files) {
        out << Padded(name, nameWidth) << Padded(version, versionWidth)
            << std::string(sizeWidth - std::min(sizeWidth, size.size()), ' ') << size << "  "
            << std::string(7 - std::min<size_t>(7, share.size()), ' ') << share
            << (files.empty() ? "" : "  " + files) << "\n";
    };
    out << Padded("updater", nameWidth) << Padded("old", versionWidth)
        << std::string(sizeWidth > 5 ? sizeWidth - 5 : 0, ' ') << "bytes  of .zip  files\n";
    for (const ReleasedUpdater& u : r.updaters) {
        const MakeReport& m = u.report;
        row(u.fileName, u.old.version, std::to_string(u.size), Percent(u.size, r.zipSize),
            std::to_string(m.updates.size()) + " updated, " + std::to_string(m.adds.size()) +
                " added, " + std::to_string(m.deletes.size()) + " deleted" +
                (u.size >= r.zipSize ? "  NOT SMALLER" : ""));
    }
    row(zipRow, s.newVersion, std::to_string(r.zipSize), "100 %", "");
    for (const ReleasedUpdater& u : r.updaters) {
        if (u.size >= r.zipSize) {
            err << "kzp release: warning: " << u.fileName << " (" << u.size
                << " bytes) is not smaller than the new release as a .zip (" << r.zipSize
                << " bytes)\n";
        }
    }
}

}  // namespace

CLI::App* AddReleaseCommand(CLI::App& app, ReleaseOptions& o) {
    CLI::App* release =
        app.add_subcommand("release",
                           "one updater from each old release to the new one, and release.json "
                           "(kzp release NEW --old OLD=VERSION ... -o OUT_DIR)");
    release->add_option("new", o.newFolder, "NEW: the folder of the new release");
    release->add_option("--old", o.olds,
                        "DIR=VERSION: an old release's folder and its version name (repeat it)");
    release
        ->add_option(
            "-p,--project", o.package.project,
            "JSON project file with any of the settings below (\"old\" as a list of {\"dir\", "
            "\"version\"}, \"output\" the folder); options given here win")
        ->check(CLI::ExistingFile);
    release->add_option("-o,--output", o.output,
                        "the folder for the updaters and release.json (made if missing)");
    release->add_option("--name-pattern", o.namePattern,
                        std::string("file names of the updaters, from {title}, {old} and {new} "
                                    "(default ") +
                            kDefaultNamePattern + ")");
    release->add_option(
        "--zip", o.zip,
        "also write the new release as this .zip (the one the table compares with)");
    release
        ->add_option("-j,--jobs", o.jobs,
                     "updaters made at once (default: the number of processors); they share "
                     "--memory")
        ->check(CLI::Range(1u, 256u));
    AddPackageOptions(*release, o.package);
    release->footer(
        "--memory is shared by all jobs. The same inputs give the same files whatever --jobs is. "
        "Exit codes: 0 written; 1 a setting cannot be used (two old releases with one version, an "
        "old version named as the new one, names that collide); 2 a folder cannot be read or "
        "the output folder cannot be written.");
    return release;
}

MakeSettings ReleaseSettingsFrom(const ReleaseOptions& o) {
    MakeSettings s = SettingsFrom(o.package);
    if (!s.oldFolder.empty() && s.oldReleases.empty())
        throw SettingsError(
            "the project file's \"old\" must list the old releases for kzp release");
    if (!o.newFolder.empty()) s.newFolder = o.newFolder;
    if (!o.olds.empty()) {
        s.oldReleases.clear();
        for (const std::string& text : o.olds) s.oldReleases.push_back(ParseOld(text));
    }
    if (o.output) s.output = *o.output;
    if (o.namePattern) s.namePattern = *o.namePattern;
    return s;
}

int RunRelease(const ReleaseOptions& o, std::ostream& out, std::ostream& err) {
    try {
        MakeSettings s = ReleaseSettingsFrom(o);
        const unsigned jobs = o.jobs.value_or(std::max(1u, std::thread::hardware_concurrency()));
        Progress working;
        if (&err == &std::cerr && IsTerminal(stderr)) {
            working = [&err](std::string line) {
                if (line.size() > 79) line = line.substr(0, 76) + "...";
                err << "\r\x1b[K" << line << std::flush;
            };
        }
        ReleaseReport r = MakeRelease(s, jobs, o.zip.value_or(""), working);
        if (working) err << "\r\x1b[K" << std::flush;
        if (!r.updaters.empty()) {
            for (const std::string& warning : r.updaters.front().report.warnings)
                err << "kzp release: warning: " << warning << "\n";
        }
        PrintTable(s, r, out, err);
        out << "kzp release: " << r.updaters.size() << " updaters and " << kReleaseJsonName
            << " in " << s.output << "\n";
        return kExitOk;
    } catch (const SettingsError& e) {
        err << "kzp release: " << e.what() << "\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        err << "kzp release: " << e.what() << "\n";
        return kExitUnreadable;
    }
}

}  // namespace kzp::tool
