// Soak: random old trees, random new trees made from them, each pair made
// into a package (diff streams from the kzp tool's encoder and from a plain
// block matcher) and applied natively as the program applies it, for a given
// time. Every run must leave exactly the new tree beside the backups of the
// changed files, and exactly the new tree once the backups are deleted.
//
// SOAK_SECONDS sets the time (default 60); SOAK_SEED the first seed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "engine/rollback.h"
#include "tests/robust/generated_case.h"
#include "tests/support/faulty_os.h"
#include "tests/support/robust_run.h"

namespace kzp::test {
namespace {

namespace w = writer;

TEST(SoakTest, RandomTreesAreAppliedByteForByte) {
    const double seconds = EnvNumber("SOAK_SECONDS", 60);
    const uint32_t seed = static_cast<uint32_t>(EnvNumber("SOAK_SEED", 1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    uint64_t runs = 0;
    uint64_t bytes = 0;
    uint64_t entries = 0;
    for (uint32_t i = 0; runs == 0 || std::chrono::steady_clock::now() < deadline; ++i) {
        std::mt19937 random(seed + i);
        CaseLimits limits;
        limits.maxOldFiles = 8;
        limits.maxAdds = 4;
        // Mostly small files, now and then one of a few hundred kilobytes.
        limits.maxFileSize = random() % 8 == 0 ? 300 * 1024 : 8 * 1024;
        const std::string folder = NewScratchFolder();
        const std::string target = folder + "\\target";
        GeneratedCase c = GenerateCase(random, target, limits);
        SCOPED_TRACE("seed " + std::to_string(seed + i) + ": " + c.summary);
        ASSERT_TRUE(MakeFolder(target));
        ASSERT_TRUE(WriteTreeState(target, c.oldTree));

        FaultyOs volume(BaseOs());
        volume.KeepTimesAsFat(c.fatTimes);
        ScopedOs use(volume);
        WholeRun run;
        RunOutcome outcome = run.RunPackage(c.package);
        ASSERT_EQ(outcome.result, c.expected);
        if (c.expected != kResultOk) {
            // A package that names one file twice: the old tree stays.
            ASSERT_EQ(DescribeDifference(FoldedTree(c.oldTree), FoldedTree(ReadTreeState(target))),
                      "");
            RemovePath(folder);
            continue;
        }
        ASSERT_EQ(DescribeDifference(WithBackups(c), FoldedTree(ReadTreeState(target))), "");
        // The user leaves the check box set and closes the window.
        DeleteBackupFiles(run.state());
        ASSERT_EQ(DescribeDifference(FoldedTree(c.newTree), FoldedTree(ReadTreeState(target))), "");

        ++runs;
        entries += c.package.updates.size() + c.package.adds.size() + c.package.deletes.size();
        for (const auto& [name, file] : c.newTree) bytes += file.contents.size();
        RemovePath(folder);
    }
    std::printf("soak: %llu runs, %llu entries, %llu bytes of new files, all byte for byte\n",
                static_cast<unsigned long long>(runs), static_cast<unsigned long long>(entries),
                static_cast<unsigned long long>(bytes));
}

}  // namespace
}  // namespace kzp::test
