#include "tests/robust/generated_case.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "engine/file_operations.h"
#include "support/text.h"

#ifdef KZP_ROBUST_HAVE_ENCODER
#include "tools/encoder/compact_encoder.h"
#include "tools/encoder/diff_encoder.h"
#endif

namespace kzp::test {
namespace {

namespace w = writer;

// Names the generator picks from: subfolders, several dots, no extension,
// an empty name part, and names that differ only in case.
const char* const kNames[] = {
    "app.exe", "bin\\tool.dll", "bin\\Tool.dll.bak", "data\\x\\y.dat",     "readme",
    ".config", "lib\\a.b.c",    "empty.bin",         "sub\\deeper\\z.txt", "README.TXT"};
const char* const kAddNames[] = {"new.txt", "newdir\\inner\\n.bin", "bin\\plugin.dll",
                                 "data\\x\\w.dat", "added"};
const char* const kVersions[] = {"1.0", "2004/01/06", "v1 <beta>", "1"};

uint64_t RandomTime(std::mt19937& random) {
    // 1990..2030 in FILETIME ticks.
    std::uniform_int_distribution<uint64_t> ticks(0x01B0000000000000ull, 0x01E0000000000000ull);
    return ticks(random);
}

w::Bytes RandomBytes(std::mt19937& random, size_t size) {
    // Few distinct bytes, so that the matchers find repeats.
    std::uniform_int_distribution<int> byte(0, random() % 2 ? 255 : 7);
    w::Bytes data(size);
    for (uint8_t& b : data) b = static_cast<uint8_t>(byte(random));
    return data;
}

// Edits of an old file: ranges inserted, removed and replaced.
w::Bytes Mutate(std::mt19937& random, const w::Bytes& old, size_t maxSize) {
    w::Bytes data = old;
    const int edits = static_cast<int>(random() % 4);
    for (int i = 0; i < edits; ++i) {
        const size_t at = data.empty() ? 0 : random() % (data.size() + 1);
        const size_t length = random() % 200;
        switch (random() % 3) {
            case 0: {
                w::Bytes insert = RandomBytes(random, length);
                data.insert(data.begin() + static_cast<long>(at), insert.begin(), insert.end());
                break;
            }
            case 1:
                data.erase(data.begin() + static_cast<long>(at),
                           data.begin() + static_cast<long>(std::min(data.size(), at + length)));
                break;
            default:
                for (size_t k = at; k < std::min(data.size(), at + length); ++k) {
                    data[k] = static_cast<uint8_t>(random());
                }
        }
    }
    if (data.size() > maxSize) data.resize(maxSize);
    if (edits == 0 && !data.empty()) data[random() % data.size()] ^= 0x5A;
    return data;
}

// Blocks found anywhere in the old file are copied (runs of them at
// consecutive offsets in one opcode), others are literal (runs of them in one
// opcode); the tail is a copied or a literal range.
w::Bytes BlockStream(const w::Bytes& old, const w::Bytes& data, uint32_t block) {
    w::DiffStream stream(block);
    size_t p = 0;
    auto findInOld = [&](size_t at, size_t length) -> long {
        if (length == 0 || length > old.size()) return -1;
        auto it = std::search(old.begin(), old.end(), data.begin() + static_cast<long>(at),
                              data.begin() + static_cast<long>(at + length));
        return it == old.end() ? -1 : static_cast<long>(it - old.begin());
    };
    while (p + block <= data.size()) {
        long q = findInOld(p, block);
        if (q >= 0) {
            uint32_t count = 1;
            while (p + (count + 1) * uint64_t{block} <= data.size() &&
                   q + (count + 1) * uint64_t{block} <= old.size() &&
                   std::equal(data.begin() + static_cast<long>(p + count * block),
                              data.begin() + static_cast<long>(p + (count + 1) * block),
                              old.begin() + q + count * block)) {
                ++count;
            }
            if (count == 1)
                stream.CopyBlock(static_cast<uint32_t>(q));
            else
                stream.CopyBlocks(static_cast<uint32_t>(q), count);
            p += count * uint64_t{block};
            continue;
        }
        size_t end = p + block;
        while (end + block <= data.size() && findInOld(end, block) < 0) end += block;
        w::Bytes literal(data.begin() + static_cast<long>(p),
                         data.begin() + static_cast<long>(end));
        if (literal.size() == block)
            stream.LiteralBlock(literal);
        else
            stream.LiteralBlocks(literal);
        p = end;
    }
    if (p < data.size()) {
        long q = findInOld(p, data.size() - p);
        if (q >= 0) {
            stream.CopyRange(static_cast<uint32_t>(q), static_cast<uint32_t>(data.size() - p));
        } else {
            stream.LiteralRange(w::Bytes(data.begin() + static_cast<long>(p), data.end()));
        }
    }
    return stream.End().Data();
}

}  // namespace

w::Bytes EncodeStream(const w::Bytes& oldData, const w::Bytes& newData, uint32_t blockSize,
                      bool preferToolEncoder) {
#ifdef KZP_ROBUST_HAVE_ENCODER
    if (preferToolEncoder) {
        encoder::EncodeOptions options;
        options.blockSize = blockSize;
        return encoder::EncodeDiff(oldData.data(), oldData.size(), newData.data(), newData.size(),
                                   options);
    }
#else
    (void)preferToolEncoder;
#endif
    return BlockStream(oldData, newData, blockSize);
}

double EnvNumber(const char* name, double fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != 0 ? std::atof(value) : fallback;
}

std::string BackupNameOf(const std::string& name, const std::string& oldVersion) {
    const size_t slash = name.find_last_of('\\');
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    const std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
    char backup[kMaxPath];
    if (!BuildBackupName(file.c_str(), oldVersion.c_str(), backup)) return "";
    return folder + backup;
}

TreeState WithBackups(const GeneratedCase& generated) {
    TreeState tree = FoldedTree(generated.newTree);
    const TreeState old = FoldedTree(generated.oldTree);
    const w::Package& p = generated.package;
    auto backup = [&](const std::string& name) {
        auto file = old.find(FoldedName(name));
        if (file != old.end()) tree[FoldedName(BackupNameOf(name, p.oldVersion))] = file->second;
    };
    for (const auto& e : p.updates) backup(e.name);
    for (const auto& e : p.adds) backup(e.name);
    for (const auto& e : p.deletes) backup(e.name);
    return tree;
}

std::string FoldedName(const std::string& name) {
    std::string folded = name;
    for (char& ch : folded) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
    return folded;
}

TreeState FoldedTree(const TreeState& tree) {
    TreeState folded;
    for (const auto& [name, file] : tree) folded[FoldedName(name)] = file;
    return folded;
}

namespace {

// The same name in other letters' case: how the folder may hold a file the
// package names. Folders keep their case: the generated trees share them, and
// one folder in two cases is two folders on the host, one on Windows.
std::string SwapCase(const std::string& name) {
    std::string swapped = name;
    const size_t file = name.find_last_of('\\');
    for (char& ch : swapped) {
        if (file != std::string::npos && &ch <= &swapped[file]) continue;
        if (ch >= 'a' && ch <= 'z')
            ch = static_cast<char>(ch - 32);
        else if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch + 32);
    }
    return swapped;
}

// A time as a FAT volume keeps it: to the next even second.
uint64_t FatTime(uint64_t ticks) {
    constexpr uint64_t kTwoSeconds = 20000000;
    return (ticks + kTwoSeconds - 1) / kTwoSeconds * kTwoSeconds;
}

w::Digest OldDigest(const w::Package& p, const FileState& file) {
    return p.verifyMode == 0 ? w::Md5(file.contents)
                             : w::DateSizeDigest(w::FileTimeValue::FromTicks(file.time),
                                                 static_cast<uint32_t>(file.contents.size()));
}

// A second entry for a file the package already names (in another case): a
// package that another writer could have made. The run meets the file twice;
// what it ends with is set in `c.expected`.
void NameOneFileTwice(std::mt19937& random, GeneratedCase& c, std::ostringstream& summary) {
    w::Package& p = c.package;
    const size_t candidates = p.updates.size() + p.deletes.size();
    if (candidates == 0) return;
    const size_t pick = random() % candidates;
    const bool fromUpdate = pick < p.updates.size();
    const std::string name =
        fromUpdate ? p.updates[pick].name : p.deletes[pick - p.updates.size()].name;
    const w::Digest digest =
        fromUpdate ? p.updates[pick].digest : p.deletes[pick - p.updates.size()].digest;
    const std::string again = SwapCase(name);
    // Both entries check the same old file; the second meets the backup the
    // first made (or, for a delete after a delete, no file at all).
    if (random() % 2 == 0 && fromUpdate) {
        w::UpdateEntry e = p.updates[pick];
        e.name = again;
        p.updates.insert(
            p.updates.begin() + static_cast<long>(pick + 1 + random() % (p.updates.size() - pick)),
            e);
        c.expected = kErrorRename;
        summary << " update-twice " << name;
    } else {
        p.deletes.push_back({again, digest});
        const bool secondSkips = !fromUpdate && p.ignoreMissingDelete == 1;
        c.expected = fromUpdate ? kErrorRename : secondSkips ? kResultOk : kErrorOldFileMissing;
        summary << " delete-again " << name;
    }
}

#ifdef KZP_ROBUST_HAVE_ENCODER
// The same change as a compact package: every update's and add's data
// encoded as compact data, everything else as it is.
void MakeCompact(GeneratedCase& c) {
    w::Package& p = c.package;
    p.formatVersion = kCompactFormatVersion;
    const TreeState oldTree = FoldedTree(c.oldTree);
    const TreeState newTree = FoldedTree(c.newTree);
    for (w::UpdateEntry& e : p.updates) {
        auto old = oldTree.find(FoldedName(e.name));
        auto built = newTree.find(FoldedName(e.name));
        if (old == oldTree.end() || built == newTree.end()) {
            e.stream = encoder::EncodeCompactAdd(nullptr, 0);  // never applied
            continue;
        }
        const w::Bytes& oldData = old->second.contents;
        const w::Bytes& newData = built->second.contents;
        encoder::OldFileIndex index(oldData.data(), oldData.size());
        e.stream = encoder::EncodeCompactUpdate(index, newData.data(), newData.size());
    }
    for (w::AddEntry& e : p.adds) {
        e.contents = encoder::EncodeCompactAdd(e.contents.data(), e.contents.size());
    }
    c.summary += " compact";
}
#endif

}  // namespace

GeneratedCase GenerateCase(std::mt19937& random, const std::string& targetFolder,
                           const CaseLimits& limits) {
    GeneratedCase c;
    w::Package& p = c.package;
    p.formatVersion = 120;
    p.title = "Generated";
    p.oldVersion = kVersions[random() % 4];
    p.newVersion = "next";
    p.target.type = 3;
    p.target.rootOrBase = 6;
    p.target.path = targetFolder;
    p.verifyMode = static_cast<uint8_t>(random() % 2);
    p.overwriteOnAdd = static_cast<uint8_t>(random() % 2);
    p.ignoreMissingUpdate = static_cast<uint8_t>(random() % 2);
    p.ignoreMissingDelete = static_cast<uint8_t>(random() % 2);
    c.fatTimes = random() % 4 == 0;
    static const uint32_t kBlocks[] = {1, 7, 64, 512, 4096, 65536};
    std::ostringstream summary;
    summary << "version '" << p.oldVersion << "' verify " << int(p.verifyMode) << " overwrite "
            << int(p.overwriteOnAdd) << (c.fatTimes ? " FAT" : "") << ";";
    auto time = [&](uint64_t ticks) { return c.fatTimes ? FatTime(ticks) : ticks; };

    // Names must not collide with each other's backups or with names that
    // only differ in case (one file on Windows).
    std::set<std::string> folded;
    auto take = [&](const std::string& name) {
        return folded.insert(FoldedName(name)).second &&
               folded.insert(FoldedName(BackupNameOf(name, p.oldVersion))).second;
    };

    // The old release's files, as the folder holds them: some in another
    // case than the package names them.
    TreeState release;
    std::vector<std::string> unlisted;  // old files no entry names
    const int oldCount = 1 + static_cast<int>(random() % limits.maxOldFiles);
    for (int i = 0; i < oldCount; ++i) {
        const std::string name = kNames[random() % std::size(kNames)];
        if (!take(name)) continue;
        FileState file{RandomBytes(random, random() % (limits.maxFileSize + 1)),
                       time(RandomTime(random))};
        if (name == "empty.bin") file.contents.clear();
        release[name] = file;
        const std::string installed = random() % 4 == 0 ? SwapCase(name) : name;
        c.oldTree[installed] = file;
        if (installed != name) summary << " (as " << installed << ")";
        // A new file that keeps the old one's time, as reproducible builds
        // stamp every file with one time.
        const uint64_t newTime = random() % 3 == 0 ? file.time : time(RandomTime(random));
        switch (random() % 4) {
            case 0:  // unchanged: not in any list
                c.newTree[installed] = file;
                unlisted.push_back(installed);
                summary << " keep " << name;
                break;
            case 1:
            case 2: {
                w::UpdateEntry e;
                e.name = name;
                e.digest = OldDigest(p, file);
                e.fileTime = w::FileTimeValue::FromTicks(newTime);
                w::Bytes data = Mutate(random, file.contents, limits.maxFileSize);
                const uint32_t block = kBlocks[random() % std::size(kBlocks)];
                e.stream = EncodeStream(file.contents, data, block, random() % 2 == 0);
                p.updates.push_back(e);
                c.newTree[name] = {data, time(newTime)};
                summary << " update " << name << " (" << file.contents.size() << "->" << data.size()
                        << ", block " << block << (newTime == file.time ? ", same time" : "")
                        << ")";
                break;
            }
            default:
                p.deletes.push_back({name, OldDigest(p, file)});
                summary << " delete " << name;
        }
    }

    if (random() % 6 == 0) NameOneFileTwice(random, c, summary);

    const int addCount = static_cast<int>(random() % (limits.maxAdds + 1));
    for (int i = 0; i < addCount; ++i) {
        // Over an old file that no other entry touches, or over a file of the
        // user's that the old release does not have, when overwriting is on.
        std::string name = kAddNames[random() % std::size(kAddNames)];
        bool over = false;
        if (p.overwriteOnAdd == 1 && random() % 3 == 0 && !unlisted.empty()) {
            name = unlisted.back();
            unlisted.pop_back();
            over = true;
        }
        if (!over && !take(name)) continue;
        w::AddEntry e;
        e.name = name;
        e.fileTime = w::FileTimeValue::FromTicks(RandomTime(random));
        e.contents = RandomBytes(random, random() % (limits.maxFileSize + 1));
        p.adds.push_back(e);
        c.newTree.erase(name);
        c.newTree[name] = {e.contents, time(e.fileTime.Ticks())};
        const bool users = !over && p.overwriteOnAdd == 1 && random() % 3 == 0;
        if (users) {
            c.oldTree[name] = {RandomBytes(random, random() % (limits.maxFileSize + 1)),
                               time(RandomTime(random))};
        }
        summary << (over    ? " add-over "
                    : users ? " add-over-users "
                            : " add ")
                << name << " (" << e.contents.size() << ")";
    }

    // Entries for files that are not there, which their lists may skip.
    if (p.ignoreMissingUpdate == 1 && random() % 2 == 0 && take("missing-update.txt")) {
        w::UpdateEntry e;
        e.name = "missing-update.txt";
        e.stream = w::DiffStream(16).End().Data();
        p.updates.insert(p.updates.begin() + static_cast<long>(random() % (p.updates.size() + 1)),
                         e);
        summary << " skip-update";
    }
    if (p.ignoreMissingDelete == 1 && random() % 2 == 0 && take("gone\\missing-delete.txt")) {
        p.deletes.push_back({"gone\\missing-delete.txt", {}});
        summary << " skip-delete";
    }
    // What kzp make records for kzp recover, from the old release (not the
    // user's files). Packages from other makers lack it.
    if (random() % 2 == 0) {
        w::RecoveryRecord record;
        const TreeState built = FoldedTree(c.newTree);
        for (const auto& e : p.updates) {
            auto file = built.find(FoldedName(e.name));
            record.updatedDigests.push_back(
                w::Md5(file != built.end() ? file->second.contents : w::Bytes{}));
        }
        for (const auto& e : p.adds) {
            auto replaced = release.find(e.name);
            if (replaced == release.end())
                record.replacedDigests.push_back(std::nullopt);
            else
                record.replacedDigests.push_back(w::Md5(replaced->second.contents));
        }
        p.recovery = std::move(record);
    } else {
        summary << " no-recovery-record";
    }
    c.summary = summary.str();
#ifdef KZP_ROBUST_HAVE_ENCODER
    if (random() % 3 == 0) MakeCompact(c);
#endif
    return c;
}

}  // namespace kzp::test
