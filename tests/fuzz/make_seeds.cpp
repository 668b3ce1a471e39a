// Writes the seed corpora of the fuzz targets from the package writer:
//   kzp_fuzz_seeds <corpus folder>
// makes <folder>/<target>/<seed> for every target. The seeds are kept small:
// they show the fuzzer every section and opcode, and it grows the rest.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/fuzz/whole_run_prefix.h"
#include "tools/package_writer/package_writer.h"

namespace w = kzp::writer;
namespace fs = std::filesystem;

namespace {

fs::path root;

void Put(const std::string& target, const std::string& name, const w::Bytes& data) {
    fs::create_directories(root / target);
    std::ofstream out(root / target / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

void PutText(w::Bytes& out, const std::string& text) {
    out.push_back(static_cast<uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

w::LanguageBlock Block(uint32_t codePage, const std::string& face, const std::string& word) {
    w::LanguageBlock block;
    block.codePage = codePage;
    block.fontFace = face;
    block.fontHeight = 9;
    for (int k = 0; k < 69; ++k) block.texts[k] = word + std::to_string(k);
    block.texts[8] = "%s updater (%s -> %s)";
    block.texts[9] = "Updates %s from %s to %s";
    block.texts[10] = "Update %s from %s to %s?\\n\\nClick Yes.";
    block.texts[12] = "Updating %s%s...";
    block.texts[25] = "Folder [%s]";
    block.texts[28] = "[%s] %5.3s %-8d %x";
    block.texts[49] = "%s %s %s %d %c %%";
    return block;
}

w::Package Small(uint16_t version) {
    w::Package p;
    p.formatVersion = version;
    p.title = "App";
    p.oldVersion = "1.0";
    p.newVersion = "1.1";
    p.target.type = 3;
    p.target.rootOrBase = 2;
    p.target.path = "App";
    return p;
}

// A package with every section of version 120 in use.
w::Package Full() {
    w::Package p = Small(120);
    p.copyright = "(c) Example";
    p.SetPassword("secret");
    p.deleteBackupsDefault = 0;
    p.languages.push_back(Block(1252, "Arial", "en"));
    p.languages.push_back(Block(932, "\x82\x6C\x82\x72 Gothic", "ja"));
    p.target.type = 4;
    p.target.rules = {{1, 2, "Software\\Vendor\\App", "InstallDir", "", 1},
                      {2, 0, "%1\\app.ini", "Setup", "Dir", 0},
                      {3, 0, "", "", "", 5}};
    p.check.type = 2;
    p.check.programName = "app.exe";
    p.check.waitForExit = 1;
    p.launchFile = "readme.txt";
    p.documentBefore = "Before\r\n";
    p.documentAfter = "After";
    p.ignoreMissingUpdate = 1;
    p.overwriteOnAdd = 1;
    p.ignoreMissingDelete = 1;
    p.verifyMode = 1;
    w::UpdateEntry u;
    u.name = "bin\\app.exe";
    u.digest = w::DateSizeDigest(w::FileTimeValue::FromTicks(0x01D0000000000000ull), 8);
    u.stream = w::DiffStream(4)
                   .CopyBlocks(0, 1)
                   .LiteralRange({'x', 'y'})
                   .CopyBlock(4)
                   .CopyRange(1, 2)
                   .End()
                   .Data();
    p.updates.push_back(u);
    w::AddEntry a;
    a.name = "data\\new.dat";
    a.contents = {1, 2, 3};
    p.adds.push_back(a);
    w::DeleteEntry d;
    d.name = "old.dll";
    p.deletes.push_back(d);
    return p;
}

// The diff stream seeds: old length, old bytes, data length, cancel, stream.
w::Bytes DiffSeed(const w::Bytes& old, const w::Bytes& stream, uint8_t cancelAfter = 0) {
    w::Bytes seed{static_cast<uint8_t>(old.size())};
    seed.insert(seed.end(), old.begin(), old.end());
    w::PutU32(seed, static_cast<uint32_t>(stream.size()));
    seed.push_back(cancelAfter);
    seed.insert(seed.end(), stream.begin(), stream.end());
    return seed;
}

void PackageReaderSeeds() {
    Put("package_reader", "v100", w::BuildPackage(Small(100)));
    w::Package v110 = Small(110);
    v110.check.type = 1;
    v110.check.windowTitle = "App";
    v110.documentBefore = "Read me";
    Put("package_reader", "v110", w::BuildPackage(v110));
    Put("package_reader", "v120-full", w::BuildPackage(Full()));
    w::Package registry = Small(120);
    registry.target = {1, 2, "Software\\Vendor\\App", "InstallDir", "", {}, {}};
    Put("package_reader", "v120-registry", w::BuildPackage(registry));
    w::Package ini = Small(120);
    ini.target = {2, 0, "app.ini", "Setup", "Dir", {}, {}};
    Put("package_reader", "v120-ini", w::BuildPackage(ini));
}

void PackageInfoSeeds() {
    auto flagged = [](uint8_t flags, const w::Bytes& package) {
        w::Bytes seed{flags};
        seed.insert(seed.end(), package.begin(), package.end());
        return seed;
    };
    Put("package_info", "bare-v120-full", flagged(0, w::BuildPackage(Full())));
    Put("package_info", "bare-v100", flagged(0, w::BuildPackage(Small(100))));
    Put("package_info", "updater-v120", flagged(1, w::BuildPackage(Small(120))));
}

void CatalogueSeeds() {
    w::Package p = Small(120);
    p.languages.push_back(Block(1252, "Arial", "en"));
    p.languages.push_back(
        Block(932, "\x82\x6C\x82\x72 \x83\x53\x83\x56\x83\x62\x83\x4E Long Face Name", "ja"));
    w::Bytes package = w::BuildPackage(p);
    // The language section starts behind magic, version, four texts and the
    // password flag.
    size_t start = 4 + 2 + 1 + p.title.size() + 1 + p.oldVersion.size() + 1 + p.newVersion.size() +
                   1 + p.copyright.size() + 1;
    for (uint8_t selector : {0, 1}) {
        w::Bytes seed{selector};
        PutText(seed, "App");
        PutText(seed, "1.0");
        PutText(seed, "2004/01/06");
        PutText(seed, "C:\\Program Files\\App\\");
        PutText(seed, "C:\\Program Files\\App\\bin\\tool.dll");
        seed.insert(seed.end(), package.begin() + static_cast<long>(start), package.end());
        Put("catalogue", selector == 0 ? "two-blocks-932" : "two-blocks-1252", seed);
    }
    w::Bytes none{0};
    for (int i = 0; i < 5; ++i) PutText(none, "x");
    none.insert(none.end(), {1, 0, 0});
    Put("catalogue", "no-blocks", none);
}

void DiffStreamSeeds() {
    const w::Bytes old{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    Put("diff_stream", "worked-example",
        DiffSeed(old, w::DiffStream(4)
                          .CopyBlocks(0, 1)
                          .LiteralRange({'x', 'y'})
                          .CopyBlock(4)
                          .CopyRange(1, 2)
                          .End()
                          .Data()));
    Put("diff_stream", "literal-blocks",
        DiffSeed(old, w::DiffStream(2)
                          .LiteralBlock({'p', 'q'})
                          .LiteralBlocks({'r', 's', 't', 'u'})
                          .Byte(9)
                          .End()
                          .Data()));
    Put("diff_stream", "cancel",
        DiffSeed(old, w::DiffStream(1).LiteralBlocks({'a', 'b', 'c', 'd'}).End().Data(), 2));
    Put("diff_stream", "empty", DiffSeed({}, w::DiffStream(16, 0).End().Data()));
}

// Whole runs: packages over the harness's target folder, cut behind the
// target-folder section (the harness writes what comes before) and before
// the trailer (it computes that).
void WholeRunSeeds() {
    namespace f = kzp::fuzz;
    auto old = [](int i) { return std::string(f::kWholeRunOldFiles[i].contents); };
    auto base = [] {
        w::Package p;
        p.title = "T";
        p.oldVersion = f::kWholeRunOldVersion;
        p.newVersion = "2.0";
        p.target.type = 3;
        p.target.rootOrBase = 6;
        p.target.path = f::kWholeRunTarget;
        return p;
    };
    auto put = [&](const std::string& name, const w::Package& p) {
        w::Bytes body = w::BuildPackage(p);
        const std::vector<uint8_t> prefix = f::WholeRunPrefix();
        if (!std::equal(prefix.begin(), prefix.end(), body.begin())) {
            std::fprintf(stderr, "the writer's prefix differs from the harness's\n");
            std::exit(1);
        }
        Put("whole_run", name,
            w::Bytes(body.begin() + static_cast<long>(prefix.size()), body.end() - 16));
    };
    w::Package p = base();
    w::UpdateEntry u;
    u.name = "app.exe";
    u.digest = w::Md5(old(0));
    const std::string appended = " and new";
    u.stream = w::DiffStream(8)
                   .CopyBlocks(0, 2)
                   .CopyRange(16, 4)
                   .LiteralRange(w::Bytes(appended.begin(), appended.end()))
                   .End()
                   .Data();
    p.updates.push_back(u);
    w::AddEntry a;
    a.name = "new\\added.txt";
    a.contents = {'n', 'e', 'w'};
    p.adds.push_back(a);
    p.deletes.push_back({"readme.txt", w::Md5(old(2))});
    put("update-add-delete", p);

    w::Package q = base();
    q.overwriteOnAdd = 1;
    q.ignoreMissingUpdate = 1;
    q.verifyMode = 0;
    w::UpdateEntry t;
    t.name = "bin\\tool.dll";
    t.digest = w::Md5(old(1));
    t.stream = w::DiffStream(4).LiteralBlock({'a', 'b', 'c', 'd'}).CopyBlock(0).End().Data();
    q.updates.push_back(t);
    w::AddEntry over;
    over.name = "readme.txt";
    over.contents = {'r'};
    q.adds.push_back(over);
    w::AddEntry backupName;
    backupName.name = "bin\\tool.dll.1.0.old";
    backupName.contents = {'b'};
    q.adds.push_back(backupName);
    q.deletes.push_back({"app.exe", w::Md5(old(0))});
    put("overwrite-and-collide", q);
}

void FolderRuleSeeds() {
    w::Bytes seed;
    PutText(seed, "C:\\Program Files\\App");
    PutText(seed, "C:\\App");
    for (int i = 2; i < 10; ++i) PutText(seed, "");
    PutText(seed, "%1\\Sub\\100%%\\a%x\\%5\\\x82\x25%");
    seed.push_back(3);  // rules
    auto rule = [&](uint8_t kind, uint8_t root, const std::string& path, const std::string& name,
                    const std::string& key, uint8_t variable) {
        seed.push_back(kind);
        seed.push_back(root);
        PutText(seed, path);
        PutText(seed, name);
        PutText(seed, key);
        seed.push_back(variable);
    };
    rule(1, 2, "Software\\Vendor\\App", "InstallDir", "", 1);
    rule(2, 0, "app.ini", "Setup", "Next", 2);
    rule(2, 0, "%2", "Setup", "Dir", 0);
    Put("folder_rules", "registry-then-ini", seed);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kzp_fuzz_seeds <corpus folder>\n");
        return 2;
    }
    root = argv[1];
    PackageReaderSeeds();
    PackageInfoSeeds();
    CatalogueSeeds();
    DiffStreamSeeds();
    FolderRuleSeeds();
    WholeRunSeeds();
    return 0;
}
