// Packages whose lengths and counts promise far more than the package holds:
// each run ends with 0x10002 after a handful of reads, without taking memory
// in proportion to the promise, and leaves the target folder as it was.
#include <gtest/gtest.h>

#include <string>

#include "support/result_code.h"
#include "tests/support/robust_run.h"
#include "tools/package_writer/package_writer.h"

namespace kzp {
namespace {

using test::Bytes;
using test::TreeState;
namespace w = writer;

Bytes B(const std::string& s) {
    return test::BytesOf(s);
}

constexpr uint64_t kOldTime = 0x01D0123400000000ull;
// Nothing here needs more than the package reader's read-ahead and a file
// copy's write buffer.
constexpr size_t kModestAllocation = 512 * 1024;

class HostileLengthsTest : public testing::Test {
  protected:
    void SetUp() override {
        target_ = test::NewScratchFolder();
        before_ = {{"app.exe", {B("old app"), kOldTime}}, {"lib\\a.dll", {B("old dll"), kOldTime}}};
        ASSERT_TRUE(test::WriteTreeState(target_, before_));
    }

    w::Package Base() { return test::PackageForFolder(target_); }

    // A whole run over `body`, counting the reads and the largest block
    // asked of a heap.
    test::RunOutcome Run(const w::Bytes& body) {
        test::MeteredRun metered = test::RunMetered(body);
        reads_ = metered.reads;
        largest_ = metered.largestAllocation;
        return metered.outcome;
    }

    void ExpectUntouched() {
        EXPECT_EQ(test::DescribeDifference(before_, test::ReadTreeState(target_)), "");
    }

    std::string target_;
    TreeState before_;
    uint64_t reads_ = 0;
    size_t largest_ = 0;
};

TEST_F(HostileLengthsTest, DocumentLengthsBeyondThePackage) {
    for (uint32_t length : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x10000000u, 100000u}) {
        for (bool after : {false, true}) {
            SCOPED_TRACE(std::to_string(length) + (after ? " after" : " before"));
            w::Package p = Base();
            p.documentBefore = "BEFORE-MARKER";
            p.documentAfter = "AFTER-MARKER";
            w::Bytes body = w::BuildPackage(p);
            const size_t marker = test::FindMarker(body, after ? "AFTER-MARKER" : "BEFORE-MARKER");
            ASSERT_NE(marker, std::string::npos);
            test::PutU32At(&body, marker - 4, length);
            test::RehashTrailer(&body);
            EXPECT_EQ(Run(body).result, kErrorReadPackage);
            EXPECT_LT(largest_, kModestAllocation);
            EXPECT_LT(reads_, 20u);
            ExpectUntouched();
        }
    }
}

TEST_F(HostileLengthsTest, ListCountsBeyondThePackage) {
    for (int list = 0; list < 3; ++list) {
        for (uint32_t count : {0xFFFFFFFFu, 0x10000000u, 5000u}) {
            SCOPED_TRACE(std::to_string(list) + ": " + std::to_string(count));
            w::Package p = Base();
            p.deletes.push_back({"app.exe", w::Md5(std::string("old app"))});
            if (list == 0) p.updateCountOverride = count;
            if (list == 1) p.addCountOverride = count;
            if (list == 2) p.deleteCountOverride = count;
            EXPECT_EQ(Run(w::BuildPackage(p)).result, kErrorReadPackage);
            EXPECT_LT(largest_, kModestAllocation);
            EXPECT_LT(reads_, 20u);
            ExpectUntouched();
        }
    }
}

TEST_F(HostileLengthsTest, RuleAndLanguageBlockCountsBeyondThePackage) {
    w::Package rules = Base();
    rules.target.type = 4;
    rules.target.rules = {{1, 2, "Software\\App", "Dir", "", 0}};
    rules.target.ruleCountOverride = 0xFFFFFFFFu;
    EXPECT_EQ(Run(w::BuildPackage(rules)).result, kErrorReadPackage);
    EXPECT_LT(largest_, kModestAllocation);
    EXPECT_LT(reads_, 20u);

    // 65,535 blocks of at least 74 bytes each, and none there.
    w::Package blocks = Base();
    blocks.copyright = "COPYRIGHT-MARKER";
    w::Bytes body = w::BuildPackage(blocks);
    const size_t marker = test::FindMarker(body, "COPYRIGHT-MARKER");
    ASSERT_NE(marker, std::string::npos);
    const size_t count = marker + 16 + 1 + 1;  // behind the text, the password flag, the default
    body[count] = 0xFF;
    body[count + 1] = 0xFF;
    test::RehashTrailer(&body);
    EXPECT_EQ(Run(body).result, kErrorReadPackage);
    EXPECT_LT(largest_, kModestAllocation);
    EXPECT_LT(reads_, 20u);
    ExpectUntouched();
}

TEST_F(HostileLengthsTest, ShortStringsAndHeadersThatRunOffTheEnd) {
    // A title of 255 bytes in a package that ends after 10 of them; a file
    // that ends inside the header; a file that ends with the program image.
    w::Bytes titled = {'K', 'Z', 'P', ' ', 120, 0, 255};
    titled.insert(titled.end(), 10, 'T');
    for (const w::Bytes& body : {titled, w::Bytes{'K', 'Z', 'P', ' ', 120}, w::Bytes{}}) {
        EXPECT_EQ(Run(body).result, kErrorReadPackage);
        EXPECT_LT(reads_, 20u);
    }
    ExpectUntouched();
}

// Data that lies beyond the package, or is longer than it: the entries pass
// the verification, the first changes are made, and the read that falls
// short ends the run; the restore takes everything back.
TEST_F(HostileLengthsTest, EntryDataBeyondThePackageIsRestored) {
    struct Case {
        const char* what;
        bool update;
        uint32_t offset;
        uint32_t length;
    };
    for (const Case& c : {Case{"add longer than the package", false, 0, 0xFFFFFFFFu},
                          Case{"add far behind the file", false, 0x7FFFFFF0u, 10},
                          Case{"add behind 2 GiB", false, 0xFFFFFFF0u, 10},
                          Case{"update stream far behind the file", true, 0x7FFFFFF0u, 10},
                          Case{"update stream behind 2 GiB", true, 0xFFFFFFF0u, 10}}) {
        SCOPED_TRACE(c.what);
        w::Package p = Base();
        w::UpdateEntry first;
        first.name = "lib\\a.dll";
        first.digest = w::Md5(std::string("old dll"));
        first.stream = w::DiffStream(4).CopyBlock(0).LiteralRange(B("!")).End().Data();
        p.updates.push_back(first);
        if (c.update) {
            w::UpdateEntry e;
            e.name = "app.exe";
            e.digest = w::Md5(std::string("old app"));
            e.stream = w::DiffStream(4).End().Data();
            e.dataOffsetOverride = c.offset;
            e.dataLengthOverride = c.length;
            p.updates.push_back(e);
        } else {
            w::AddEntry e;
            e.name = "new\\added.bin";
            e.contents = B("added");
            if (c.offset != 0) e.dataOffsetOverride = c.offset;
            e.dataLengthOverride = c.length;
            p.adds.push_back(e);
        }
        test::RunOutcome outcome = Run(w::BuildPackage(p));
        EXPECT_EQ(outcome.result, kErrorReadPackage);
        EXPECT_TRUE(outcome.restored);
        EXPECT_LT(largest_, kModestAllocation);
        ExpectUntouched();
    }
}

}  // namespace
}  // namespace kzp
