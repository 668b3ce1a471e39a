#include "engine/file_history.h"

namespace kzp {

namespace {

struct Place {
    Holds holds;
    uint8_t member;  // whose data, for kWhole and kPart
};

struct State {
    Place name;
    Place backup;
    uint8_t phases[kMaxSameFile];
};

// The start, three states for each member, the clean-up.
constexpr uint32_t kMaxStates = 3 * kMaxSameFile + 2;

struct History {
    State states[kMaxStates];
    uint32_t count = 0;
    void Push(const State& state) {
        if (count < kMaxStates) states[count++] = state;
    }
};

// The states the members leave the file in when the run starts with a file
// at the name (`startsPresent`) or none, up to where the run would fail.
void Simulate(const FileMember* members, uint32_t count, bool startsPresent, bool withCleanUp,
              History* history) {
    State now = {};
    now.name = {startsPresent ? Holds::kFileBefore : Holds::kNothing, 0};
    now.backup = {Holds::kNothing, 0};
    for (uint32_t i = 0; i < count; ++i) now.phases[i] = kPhaseBefore;
    history->Push(now);
    bool finished = true;
    for (uint32_t i = 0; i < count && finished; ++i) {
        const FileMember& m = members[i];
        const uint8_t member = static_cast<uint8_t>(i);
        const bool namePresent = now.name.holds != Holds::kNothing;
        const bool backupTaken = now.backup.holds != Holds::kNothing;
        auto during = [&](Place name, Place backup) {
            State s = now;
            s.name = name;
            s.backup = backup;
            s.phases[i] = kPhaseDuring;
            history->Push(s);
        };
        auto finish = [&](Place name, Place backup) {
            now.name = name;
            now.backup = backup;
            now.phases[i] = kPhaseAfter;
            history->Push(now);
        };
        if (m.kind != EntryKind::kAdd && !namePresent) {
            // Passed over: the places stay as they are, before and after alike.
            finished = m.skipsMissing;
            now.phases[i] = kPhaseAfter;
            history->states[history->count - 1].phases[i] |= kPhaseAfter;
            continue;
        }
        if (m.kind == EntryKind::kAdd && !namePresent) {
            during({Holds::kPart, member}, now.backup);
            finish({Holds::kWhole, member}, now.backup);
            continue;
        }
        // The file at the name goes to the backup name first; a backup
        // already there (or an add that may not overwrite) fails the run.
        if (backupTaken || (m.kind == EntryKind::kAdd && !m.overwrites)) {
            finished = false;
            break;
        }
        if (m.kind == EntryKind::kDelete) {
            finish({Holds::kNothing, 0}, now.name);
            continue;
        }
        during({Holds::kNothing, 0}, now.name);
        during({Holds::kPart, member}, now.name);
        finish({Holds::kWhole, member}, now.name);
    }
    // A finished run's clean-up deletes the backup; a file without one is as
    // a cleaned-up run leaves it already.
    if (!finished) return;
    if (now.backup.holds == Holds::kNothing) {
        for (uint32_t i = 0; i < count; ++i)
            history->states[history->count - 1].phases[i] |= kPhaseCleaned;
    } else if (withCleanUp) {
        now.backup = {Holds::kNothing, 0};
        for (uint32_t i = 0; i < count; ++i) now.phases[i] = kPhaseCleaned;
        history->Push(now);
    }
}

// Whether a place holding a file (or none) can hold what the state says.
Match PlaceMatches(const FileMember* members, uint32_t count, Place place, bool present,
                   bool atName) {
    if (place.holds == Holds::kNothing) return present ? Match::kNo : Match::kYes;
    if (!present) return Match::kNo;
    auto evidence = [&](uint32_t i) -> const Evidence& {
        return atName ? members[i].atName : members[i].atBackup;
    };
    switch (place.holds) {
        case Holds::kFileBefore: {
            // What an add finds may be anything but what only a run makes;
            // updates and deletes have checked it to be their old file.
            Match all = Match::kYes;
            for (uint32_t i = 0; i < count; ++i) {
                if (members[i].kind != EntryKind::kAdd)
                    all = BothMatch(all, evidence(i).old);
                else if (evidence(i).runsOwn)
                    all = Match::kNo;
            }
            return all;
        }
        case Holds::kWhole:
            return evidence(place.member).whole;
        case Holds::kPart:
            return evidence(place.member).part;
        case Holds::kNothing:
            break;
    }
    return Match::kNo;
}

bool IsRunsData(Holds holds) {
    return holds == Holds::kWhole || holds == Holds::kPart;
}

}  // namespace

FileMatch MatchFileHistory(const FileMember* members, uint32_t count, bool namePresent,
                           bool backupPresent, bool withCleanUp) {
    FileMatch out = {};
    // The run starts with a file at the name only where every add lets one
    // be there, and with none only where every update and delete may skip.
    bool mayStartPresent = true;
    bool mayStartAbsent = true;
    for (uint32_t i = 0; i < count; ++i) {
        if (members[i].kind == EntryKind::kAdd)
            mayStartPresent = mayStartPresent && members[i].allowsFile;
        else
            mayStartAbsent = mayStartAbsent && members[i].skipsMissing;
    }
    bool anyTouched = false;
    bool startedPresent = false;
    out.nameIsRuns = out.backupIsFileBefore = out.backupIsRuns = true;
    // A backup that fits no state may be another update's: then the name is
    // judged alone and the backup left where it is.
    for (int pass = 0; pass < 2 && !out.matched; ++pass) {
        if (pass == 1 && !backupPresent) break;
        const bool backup = pass == 0 && backupPresent;
        for (int start = 0; start < 2; ++start) {
            const bool startsPresent = start == 0;
            if (startsPresent ? !mayStartPresent : !mayStartAbsent) continue;
            History history;
            Simulate(members, count, startsPresent, withCleanUp, &history);
            for (uint32_t s = 0; s < history.count; ++s) {
                const State& state = history.states[s];
                const Match name = PlaceMatches(members, count, state.name, namePresent, true);
                const Match back = PlaceMatches(members, count, state.backup, backup, false);
                if (BothMatch(name, back) == Match::kNo) continue;
                out.matched = true;
                out.backupForeign = pass == 1;
                for (uint32_t i = 0; i < count; ++i) out.phases[i] |= state.phases[i];
                if (s == 0) continue;  // the places as the run found them
                anyTouched = true;
                out.nameIsRuns = out.nameIsRuns && state.name.holds != Holds::kFileBefore;
                out.backupIsFileBefore =
                    out.backupIsFileBefore && state.backup.holds == Holds::kFileBefore;
                out.backupIsRuns = out.backupIsRuns && IsRunsData(state.backup.holds);
                startedPresent = startedPresent || startsPresent;
            }
        }
    }
    out.nameStartedEmpty = anyTouched && !startedPresent;
    if (!anyTouched) out.nameIsRuns = out.backupIsFileBefore = out.backupIsRuns = false;
    return out;
}

}  // namespace kzp
