// What the scenarios share: the programs under test, folders of files,
// packages made from an old and a new folder, and the updater's texts.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/package_writer/package_writer.h"

namespace kzp::e2e {

using Bytes = std::vector<uint8_t>;
// Files of a folder by relative path (backslashes) with their contents.
using Tree = std::map<std::string, Bytes>;

// The programs, as Windows paths.
std::string UpdaterImagePath();     // kzpupdater.exe, the bare 0x18000-byte image (KZP_E2E_UPDATER)
std::string RunningAppPath();       // a program with a known window, for the running check
std::string FollowUpProgramPath();  // leaves a marker file when it is opened
std::string KzpToolPath();          // kzp.exe, the command-line tool

// Runs a console program to its end with its output (stdout and stderr)
// collected; its exit code, or -1 when it cannot be started or does not end
// within `waitMs`, scaled as the player's waits are (it is then ended by
// force).
long RunConsoleProgram(const std::string& program, const std::string& arguments,
                       std::string* output, unsigned long waitMs = 120000);

Bytes BytesOf(const std::string& text);
Bytes Pattern(size_t size, uint32_t seed);
bool WriteTree(const std::string& folder, const Tree& tree);
// The tree with each listed file's backup beside it ("name.<oldVersion>.old"
// holding the old contents).
Tree WithBackups(const Tree& newTree, const Tree& oldTree, const std::vector<std::string>& names,
                 const std::string& oldVersion);

// The last-write time that the package gives file number `index`.
writer::FileTimeValue EntryTime(size_t index);

// A package that turns `oldTree` into `newTree` inside `folder` (found as a
// complete path): changed files as updates with diff streams, new files as
// adds, vanished files as deletes. MD5 verification.
writer::Package PackageFor(const Tree& oldTree, const Tree& newTree, const std::string& folder);
// The same package as a compact one (format 130): each update's and add's
// data encoded by the kzp tool's compact encoder.
writer::Package CompactPackageFor(const Tree& oldTree, const Tree& newTree,
                                  const std::string& folder);
// A diff stream from `oldData` to `newData` (shared head and tail copied).
Bytes DiffFor(const Bytes& oldData, const Bytes& newData, uint32_t blockSize = 4096);

// Writes the updater with `package` appended as `path`.
bool WriteUpdater(const std::string& path, const writer::Package& package);

// Catalogue slot k of the built-in catalogue (UTF-8, "\n" pairs made CR LF),
// and the start-up string `id`.
std::string Slot(int k);
std::string StartupString(uint32_t id);
// printf-style %s substitution in a UTF-8 text.
std::string Format(const std::string& format, const std::vector<std::string>& args);
// The detail prefix of log lines, in UTF-8.
extern const char kDetail[];

}  // namespace kzp::e2e
