// Random old and new trees and the package that turns one into the other,
// for whole runs that are judged by the trees they leave behind.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "tests/support/robust_run.h"
#include "tools/package_writer/package_writer.h"

namespace kzp::test {

struct CaseLimits {
    int maxOldFiles = 5;
    int maxAdds = 3;
    size_t maxFileSize = 2048;
};

struct GeneratedCase {
    TreeState oldTree;  // the target folder before the run (the user's files too)
    TreeState newTree;  // after a successful run, backups left out
    writer::Package package;
    // What a run on the old tree ends with: 0, or the code of a package that
    // names one file twice and so cannot finish (the old tree stays).
    Result expected = kResultOk;
    bool fatTimes = false;  // the folder keeps times as a FAT volume does
    std::string summary;    // what the case holds, for failure messages
};

// A case whose package names `targetFolder` (Windows form, no trailing
// backslash) as its target. Update entries rebuild files from diff streams;
// adds may overwrite an old file or a file of the user's; some entries name
// missing files that their list is allowed to skip, or a file in another case
// than the folder has it, or one file twice (as another writer may); new
// files may keep their old files' times; the folder may keep times as FAT
// does; the recovery record may be missing.
GeneratedCase GenerateCase(std::mt19937& random, const std::string& targetFolder,
                           const CaseLimits& limits);

// A diff stream that rebuilds `newData` from `oldData` with blocks of
// `blockSize` bytes: the kzp tool's encoder when the build has it, otherwise
// (and for every other stream either way) a plain block matcher that uses
// every opcode.
writer::Bytes EncodeStream(const writer::Bytes& oldData, const writer::Bytes& newData,
                           uint32_t blockSize, bool preferToolEncoder);

// The new tree with the backup of every old file that an entry changed,
// replaced or deleted: the folder after a successful run.
TreeState WithBackups(const GeneratedCase& generated);

// The backup name of a relative name (as the file operations form it).
std::string BackupNameOf(const std::string& name, const std::string& oldVersion);

// Names as Windows compares them: a tree whose names are folded to upper
// case (ASCII letters; the generator's names have no others).
std::string FoldedName(const std::string& name);
TreeState FoldedTree(const TreeState& tree);

// A number from the environment (the suite's sizes, seeds and times), or
// `fallback` when the variable is unset or empty.
double EnvNumber(const char* name, double fallback);

}  // namespace kzp::test
