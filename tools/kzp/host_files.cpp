#include "tools/kzp/host_files.h"

#include <fstream>
#include <system_error>

#include "support/text.h"
#include "tools/kzp/host.h"

namespace kzp::tool {

namespace fs = std::filesystem;

fs::path HostPath(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const fs::path& path) {
    const std::u8string s = path.u8string();
    return std::string(s.begin(), s.end());
}

std::string DisplayPath(const fs::path& path) {
    return Utf8Of(path);
}

Bytes ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FileError("cannot open " + DisplayPath(path));
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) throw FileError("cannot read " + DisplayPath(path));
    in.seekg(0, std::ios::beg);
    Bytes data(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(data.data()), size)) {
        throw FileError("cannot read " + DisplayPath(path));
    }
    return data;
}

void WriteWholeFile(const fs::path& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw FileError("cannot create " + DisplayPath(path));
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) throw FileError("cannot write " + DisplayPath(path));
}

std::map<std::string, fs::path> ListTree(const fs::path& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) throw FileError(DisplayPath(folder) + " is not a folder");
    std::map<std::string, fs::path> files;
    fs::recursive_directory_iterator it(folder, ec);
    if (ec) throw FileError("cannot list " + DisplayPath(folder) + ": " + ec.message());
    for (const fs::directory_entry& entry : it) {
        if (!entry.is_regular_file(ec)) continue;
        const std::u8string relative = entry.path().lexically_relative(folder).generic_u8string();
        std::string name(relative.begin(), relative.end());
        for (char& c : name) {
            if (c == '/') c = '\\';
        }
        files.emplace(name, entry.path());
    }
    return files;
}

std::string WindowsFolderOf(const std::string& hostPath) {
    std::string folder = WindowsPathOf(hostPath);
    while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    if (folder.size() + 1 >= kMaxPath) return {};
    return folder;
}

}  // namespace kzp::tool
