// `kzp info`'s inspection of a package: InspectPackage over any bytes, then
// both descriptions of what it found and the data of every entry. A hostile
// file may only give a PackageError; any other exception is a finding.
//
// Input: a flag byte (1: behind a stub program image; 2: also the image's
// bytes 2 to 255 from the input, so that its header can name a certificate
// table), then the file or package.
#include <string>
#include <vector>

#include "tools/kzp/info_command.h"
#include "tools/kzp/package_inspector.h"
#include "tools/package_writer/package_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kzp;
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    ++data;
    --size;
    std::vector<uint8_t> file;
    if (flags & 1) {
        file = writer::MakeStubImage();
        // "MZ" stays: a file that is not an updater would be read whole as
        // a bare package, and 96 KB of zeros make a thousand empty blocks.
        if ((flags & 2) && size >= 254) {
            std::copy(data, data + 254, file.begin() + 2);
            data += 254;
            size -= 254;
        }
    }
    file.insert(file.end(), data, data + size);
    try {
        tool::InspectedPackage package = tool::InspectPackage(file);
        for (uint32_t codePage : {932u, 1252u}) {
            (void)tool::DescribePackageJson(package, codePage).dump();
            (void)tool::DescribePackageText(package, codePage);
        }
        for (size_t i = 0; i < package.updateData.size(); ++i) {
            const uint8_t* stream = tool::UpdateStreamData(file, package, i);
            if (stream != nullptr && package.updateData[i].dataLength > 0) {
                volatile uint8_t last = stream[package.updateData[i].dataLength - 1];
                (void)last;
            }
        }
        for (size_t i = 0; i < package.addData.size(); ++i) {
            const uint8_t* contents = tool::AddData(file, package, i);
            if (contents != nullptr && package.addData[i].dataLength > 0) {
                volatile uint8_t last = contents[package.addData[i].dataLength - 1];
                (void)last;
            }
        }
    } catch (const tool::PackageError&) {
        // The file's own fault, reported as such.
    }
    return 0;
}
