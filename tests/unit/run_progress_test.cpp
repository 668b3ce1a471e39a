// How far a run got, read from what each entry's file can be: every list of up
// to six entries, each entry in every combination of what its file allows,
// against a plain enumeration of the points of progress.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/run_progress.h"

namespace kzp {
namespace {

// Every pair j <= k: before j untouched, j any, between finished, k any,
// after k untouched.
bool Enumerate(const std::vector<EntryPhases>& phases, std::vector<EntryExplanation>* out) {
    const size_t n = phases.size();
    out->assign(n, EntryExplanation{false, false});
    bool any = false;
    for (size_t j = 0; j < n; ++j) {
        for (size_t k = j; k < n; ++k) {
            bool valid = true;
            for (size_t e = 0; e < n && valid; ++e) {
                const EntryPhases& p = phases[e];
                if (e < j || e > k)
                    valid = p.before;
                else if (e == j || e == k)
                    valid = p.before || p.touched;
                else
                    valid = p.after;
            }
            if (!valid) continue;
            any = true;
            for (size_t e = 0; e < n; ++e) {
                const EntryPhases& p = phases[e];
                if (e < j || e > k) (*out)[e].mayBeBefore = true;
                if (e > j && e < k) (*out)[e].mayBeTouched = true;
                if (e == j || e == k) {
                    (*out)[e].mayBeBefore = (*out)[e].mayBeBefore || p.before;
                    (*out)[e].mayBeTouched = (*out)[e].mayBeTouched || p.touched;
                }
            }
        }
    }
    return any;
}

std::string Describe(const std::vector<EntryPhases>& phases) {
    std::string text;
    for (const EntryPhases& p : phases) {
        text += p.before ? 'b' : '-';
        text += p.after ? 'a' : p.touched ? 't' : '-';
        text += ' ';
    }
    return text;
}

TEST(RunProgress, AgreesWithEveryPointOfProgressTriedInTurn) {
    // What one entry's file allows: before or not; touched (during or
    // after), finished, or neither.
    const EntryPhases kinds[6] = {{false, false, false}, {false, true, false}, {false, true, true},
                                  {true, false, false},  {true, true, false},  {true, true, true}};
    int explained = 0;
    int cases = 0;
    for (size_t n = 1; n <= 6; ++n) {
        size_t total = 1;
        for (size_t i = 0; i < n; ++i) total *= 6;
        for (size_t code = 0; code < total; ++code) {
            std::vector<EntryPhases> phases(n);
            for (size_t i = 0, c = code; i < n; ++i, c /= 6) phases[i] = kinds[c % 6];
            std::vector<EntryExplanation> expected;
            const bool any = Enumerate(phases, &expected);
            std::vector<EntryExplanation> actual(n);
            std::vector<uint32_t> work(ExplainProgressWorkSize(static_cast<uint32_t>(n)));
            const bool found = ExplainProgress(phases.data(), static_cast<uint32_t>(n),
                                               actual.data(), work.data());
            ++cases;
            ASSERT_EQ(found, any) << Describe(phases);
            if (!any) continue;
            ++explained;
            for (size_t e = 0; e < n; ++e) {
                ASSERT_EQ(actual[e].mayBeBefore, expected[e].mayBeBefore)
                    << Describe(phases) << "entry " << e;
                ASSERT_EQ(actual[e].mayBeTouched, expected[e].mayBeTouched)
                    << Describe(phases) << "entry " << e;
            }
        }
    }
    // Both answers occur often enough for the comparison to mean something.
    EXPECT_GT(explained, cases / 10);
    EXPECT_LT(explained, cases);
}

// The runs recovery meets, by name.
TEST(RunProgress, ReadsTheShapesThatRunsLeave) {
    const EntryPhases done{false, true, true};
    const EntryPhases untouched{true, false, false};
    const EntryPhases writing{false, true, false};
    const EntryPhases either{true, true, false};  // e.g. a file an add may have made
    struct Case {
        const char* what;
        std::vector<EntryPhases> phases;
        bool explained;
        std::vector<int> touched;  // 1 touched only, 0 untouched only, 2 either
    };
    const Case cases[] = {
        {"stopped in the third entry", {done, done, writing, untouched}, true, {1, 1, 1, 0}},
        {"restore stopped in the second",
         {untouched, writing, done, writing, untouched},
         true,
         {0, 1, 1, 1, 0}},
        {"an untouched entry between finished ones", {done, untouched, done}, false, {}},
        {"a file that may be the run's at the front", {either, untouched}, true, {2, 0}},
        {"the same after a finished entry", {done, either, untouched}, true, {1, 2, 0}},
    };
    for (const Case& c : cases) {
        const uint32_t n = static_cast<uint32_t>(c.phases.size());
        std::vector<EntryExplanation> out(n);
        std::vector<uint32_t> work(ExplainProgressWorkSize(n));
        ASSERT_EQ(ExplainProgress(c.phases.data(), n, out.data(), work.data()), c.explained)
            << c.what;
        for (uint32_t e = 0; e < c.touched.size(); ++e) {
            const int got = out[e].mayBeBefore && out[e].mayBeTouched ? 2
                            : out[e].mayBeTouched                     ? 1
                                                                      : 0;
            EXPECT_EQ(got, c.touched[e]) << c.what << ", entry " << e;
        }
    }
}

}  // namespace
}  // namespace kzp
