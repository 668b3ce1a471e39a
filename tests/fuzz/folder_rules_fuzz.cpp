// Folder variables and lookup rules: ExpandFolderVariables against a model of
// the expansion, and EvaluateFolderRules over rules built from the input,
// against registry values and INI files that the seam holds (among them
// values too long for a path).
//
// Input: ten variable texts and a text to expand (short texts), then up to
// eight rules (kind, root or base, path, name, key, variable).
#include <string.h>

#include <string>

#include "engine/target_folder.h"
#include "package/package_records.h"
#include "support/ptr_array.h"
#include "tests/fuzz/fuzz_platform.h"

namespace kzp::fuzz {
namespace {

// The expansion as the format defines it, without a size limit.
std::string ModelExpansion(const char* text, const char (*variables)[kMaxPath]) {
    std::string out;
    for (size_t i = 0; text[i] != 0; ++i) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
            out += text[i];
            if (text[i + 1] == 0) break;
            out += text[++i];
        } else if (c == '%') {
            if (text[i + 1] == 0) break;
            const char next = text[++i];
            if (next >= '0' && next <= '9')
                out += variables[next - '0'];
            else
                out += next;
        } else {
            out += text[i];
        }
    }
    return out;
}

void SetUpLookups(BaseFolderTable* table) {
    PosixOs& os = Seam();
    const std::string longValue = "C:\\" + std::string(300, 'L');
    os.SetRegistryValue(kLocalMachine, "Software\\Vendor\\App", "InstallDir",
                        "C:\\Program Files\\App");
    os.SetRegistryValue(kLocalMachine, "Software\\Vendor\\App", "Key", "Software\\Vendor\\App");
    os.SetRegistryValue(kLocalMachine, "Software\\Vendor\\App", "Empty", "");
    os.SetRegistryValue(kLocalMachine, "Software\\Vendor\\App", "Long", longValue);
    os.SetRegistryValue(kCurrentUser, "Software\\App", "Dir", "%0\\Sub");
    os.SetRegistryValue(kClassesRoot, "App", "", "D:\\App\\");
    os.SetRegistryValue(kUsers, "S", "P", "\x82\xa0\\\x5c");
    const char* folders[kBaseFolderCount] = {
        "C:\\WINDOWS", "C:\\WINDOWS\\system32", "C:\\Program Files", "C:\\", "C:\\Desktop", ""};
    for (int i = 0; i < kBaseFolderCount; ++i) strcpy(table->entries[i], folders[i]);
    ScratchFolder("WINDOWS");
    const uint8_t ini[] = "[Setup]\r\nDir=C:\\App\r\nNext=app2.ini\r\nEmpty=\r\nLong=";
    std::string text(reinterpret_cast<const char*>(ini));
    text += longValue + "\r\n[App]\r\nPath=Software\\Vendor\\App\r\n";
    Refill(Scratch("WINDOWS\\app.ini"), 0, reinterpret_cast<const uint8_t*>(text.data()),
           text.size());
    const std::string second = "[Setup]\r\nDir=%1\\More\r\n";
    Refill(Scratch("WINDOWS\\app2.ini"), 0, reinterpret_cast<const uint8_t*>(second.data()),
           second.size());
}

void CopyField(char* field260, const std::string& text) {
    memcpy(field260, text.data(), text.size());
    field260[text.size()] = 0;
}

}  // namespace
}  // namespace kzp::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kzp;
    static BaseFolderTable table;
    static bool ready = false;
    if (!ready) {
        fuzz::SetUpLookups(&table);
        ready = true;
    }
    fuzz::InputReader input(data, size);

    char variables[kFolderVariableCount][kMaxPath];
    for (auto& variable : variables) fuzz::CopyField(variable, input.ShortText());
    char text[kMaxPath];
    fuzz::CopyField(text, input.ShortText());
    char out[kExpansionSize + 8];
    memset(out, 0x55, sizeof(out));
    const bool fits = ExpandFolderVariables(out, text, variables);
    for (size_t i = kExpansionSize; i < sizeof(out); ++i) {
        fuzz::Require(static_cast<uint8_t>(out[i]) == 0x55, "expansion wrote past 512 bytes");
    }
    const std::string model = fuzz::ModelExpansion(text, variables);
    fuzz::Require(fits == (model.size() < kExpansionSize), "expansion fit verdict");
    if (fits) fuzz::Require(model == out, "expansion differs from the model");

    HeapHandle heap = TheOs().HeapCreate();
    PtrArray* rules = PtrArray::Create(10);
    const int count = input.U8() % 9;
    for (int i = 0; i < count; ++i) {
        auto* rule = static_cast<FolderRule*>(TheOs().HeapAllocZero(heap, sizeof(FolderRule)));
        rule->ruleKind = static_cast<uint8_t>(input.U8() % 4);
        rule->rootOrBase = static_cast<uint8_t>(input.U8() % 8);
        fuzz::CopyField(rule->rulePath, input.ShortText());
        fuzz::CopyField(rule->ruleName, input.ShortText());
        fuzz::CopyField(rule->ruleKey, input.ShortText());
        rule->resultVariable = static_cast<uint8_t>(input.U8() % 12);
        rules->Push(rule);
    }
    char result[kMaxPath + 8];
    memset(result, 0x55, sizeof(result));
    const Result r = EvaluateFolderRules(result, rules, table);
    fuzz::Require(r == kResultOk || r == kErrorTargetFolder, "rule list result");
    fuzz::Require(memchr(result, 0, kMaxPath) != nullptr, "rule result not terminated");
    for (size_t i = kMaxPath; i < sizeof(result); ++i) {
        fuzz::Require(static_cast<uint8_t>(result[i]) == 0x55, "rule result past 260 bytes");
    }
    if (r == kResultOk) fuzz::Require(result[0] != 0, "an empty folder reported as found");
    PtrArray::Destroy(rules);
    TheOs().HeapDestroy(heap);
    fuzz::Require(fuzz::Seam().OpenFileCount() == 0, "a file handle was left open");
    return 0;
}
