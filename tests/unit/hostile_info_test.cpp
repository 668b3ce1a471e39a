// `kzp info` over hostile packages: whatever names a package holds, the JSON
// description is valid UTF-8 and can be written out.
#include <gtest/gtest.h>

#include <string>

#include "tools/kzp/info_command.h"
#include "tools/kzp/package_inspector.h"
#include "tools/package_writer/package_writer.h"

namespace kzp::tool {
namespace {

namespace w = writer;

// A problem quotes the name of the entry it is about. The name is text in
// the package's code page; written into JSON as it stands, a double-byte
// name is not UTF-8 and the JSON cannot be written at all.
TEST(HostileInfoTest, ProblemsThatQuoteNamesAreWrittenAsUtf8) {
    w::Package p;
    p.title = "App";
    w::AddEntry add;
    add.name = "\x83\x7C\x83\x67.bin";  // two characters of code page 932
    add.contents = {1, 2, 3};
    add.dataOffsetOverride = 0x7FFFFF00u;  // far outside the package
    p.adds.push_back(add);
    w::UpdateEntry update;
    update.name = "\xE9t\xE9.dll";  // Latin letters of code page 1252
    update.stream = w::DiffStream(4).End().Data();
    update.dataOffsetOverride = 0x7FFFFF00u;
    p.updates.push_back(update);

    InspectedPackage inspected = InspectPackage(w::BuildPackage(p));
    ASSERT_EQ(inspected.problems.size(), 2u);
    for (uint32_t codePage : {932u, 1252u}) {
        std::string text;
        EXPECT_NO_THROW(text = DescribePackageJson(inspected, codePage).dump()) << codePage;
        EXPECT_NE(text.find("problems"), std::string::npos);
    }
    const std::string japanese = DescribePackageJson(inspected, 932).dump();
    // U+30DD U+30C8 in UTF-8.
    EXPECT_NE(japanese.find("\xE3\x83\x9D\xE3\x83\x88.bin"), std::string::npos) << japanese;
}

}  // namespace
}  // namespace kzp::tool
