#include "tools/kzp/package_maker.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "package/package_layout.h"
#include "support/md5.h"
#include "tools/encoder/compact_encoder.h"
#include "tools/encoder/diff_encoder.h"
#include "tools/kzp/catalogues.h"
#include "tools/kzp/host.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/text_encoding.h"
#include "tools/kzp/wow64_warnings.h"

#ifndef KZP_DEFAULT_STUB
#define KZP_DEFAULT_STUB ""
#endif

namespace kzp::tool {
namespace {

namespace fs = std::filesystem;

// A tree's names by the form Windows compares them in. Two names that
// Windows takes for one file cannot both be in a package's tree.
std::map<std::string, std::string> NamesByFold(const std::map<std::string, fs::path>& files,
                                               const std::string& which) {
    std::map<std::string, std::string> byFold;
    for (const auto& [name, path] : files) {
        auto [it, fresh] = byFold.emplace(WindowsFoldedName(name), name);
        if (!fresh) {
            throw SettingsError("the " + which + " folder holds both " + it->second + " and " +
                                name + ", which Windows takes for one file");
        }
    }
    return byFold;
}

std::string ShortText(const std::string& utf8, uint32_t codePage, const std::string& what) {
    std::string text = EncodeText(utf8, codePage, what);
    if (text.size() > 255) {
        throw SettingsError(what + " is " + std::to_string(text.size()) +
                            " bytes long in code page " + std::to_string(codePage) +
                            "; at most 255 fit");
    }
    return text;
}

writer::LanguageBlock BuildLanguage(const LanguageSetting& l) {
    writer::LanguageBlock block;
    if (!l.builtIn.empty() && !BuiltInBlock(l.builtIn, &block)) {
        throw SettingsError("unknown built-in language \"" + l.builtIn + "\"");
    }
    const uint32_t builtInPage = block.codePage;
    if (l.codePage) block.codePage = *l.codePage;
    const std::string label = "language block " + std::to_string(block.codePage);
    if (!l.builtIn.empty() && block.codePage != builtInPage) {
        // Built-in texts are stored for their own code page; carry them over.
        for (std::string& text : block.texts) {
            text = ShortText(ToUtf8(text, builtInPage), block.codePage, label + " text");
        }
        block.fontFace =
            ShortText(ToUtf8(block.fontFace, builtInPage), block.codePage, label + " font");
    }
    if (l.fontFace) block.fontFace = ShortText(*l.fontFace, block.codePage, label + " font face");
    if (l.fontHeight) block.fontHeight = *l.fontHeight;
    for (const auto& [slot, text] : l.texts) {
        block.texts[slot] =
            ShortText(text, block.codePage, label + " slot " + std::to_string(slot));
    }
    return block;
}

writer::Digest Md5Of(const Bytes& data) {
    return writer::Md5(data);
}

// A host file read in pieces, for the matcher of large pairs.
class FileSource : public encoder::ByteSource {
  public:
    explicit FileSource(const fs::path& path)
        : path_(path), in_(path, std::ios::binary), size_(fs::file_size(path)) {
        if (!in_) throw FileError("cannot open " + DisplayPath(path));
    }
    uint64_t Size() const override { return size_; }
    void Read(uint64_t offset, uint8_t* out, size_t length) override {
        if (offset > size_ || length > size_ - offset) {
            throw FileError(DisplayPath(path_) + " changed while it was read");
        }
        in_.seekg(static_cast<std::streamoff>(offset));
        in_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(length));
        if (!in_) throw FileError("cannot read " + DisplayPath(path_));
    }

  private:
    fs::path path_;
    std::ifstream in_;
    uint64_t size_;
};

constexpr size_t kFilePiece = 1 << 20;

writer::Digest Md5OfFile(const fs::path& path) {
    FileSource file(path);
    Bytes piece(kFilePiece);
    Md5Context md5;
    Md5Init(&md5);
    for (uint64_t at = 0; at < file.Size(); at += piece.size()) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), file.Size() - at));
        file.Read(at, piece.data(), n);
        Md5Update(&md5, piece.data(), static_cast<uint32_t>(n));
    }
    writer::Digest digest;
    Md5Final(digest.data(), &md5);
    return digest;
}

bool SameContents(FileSource& a, FileSource& b) {
    if (a.Size() != b.Size()) return false;
    Bytes x(kFilePiece);
    Bytes y(kFilePiece);
    for (uint64_t at = 0; at < a.Size(); at += x.size()) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(x.size(), a.Size() - at));
        a.Read(at, x.data(), n);
        b.Read(at, y.data(), n);
        if (std::memcmp(x.data(), y.data(), n) != 0) return false;
    }
    return true;
}

// What an update or delete entry checks the old file by.
writer::Digest OldFileDigest(const MakeSettings& s, const std::string& name, const fs::path& path,
                             uint64_t size) {
    if (s.verifyMode == 0) return Md5OfFile(path);
    if (size > 0xFFFFFFFFu) throw SettingsError(name + " is too large for date-and-size checks");
    return writer::DateSizeDigest(writer::FileTimeValue::FromTicks(LastWriteTicks(path)),
                                  static_cast<uint32_t>(size));
}

}  // namespace

std::string EncodeText(const std::string& utf8, uint32_t codePage, const std::string& what) {
    std::optional<std::string> text = FromUtf8(utf8, codePage);
    if (!text) {
        throw SettingsError(what + " \"" + utf8 + "\" cannot be written in code page " +
                            std::to_string(codePage));
    }
    return *text;
}

std::string LoadDocument(const std::string& path, uint32_t codePage) {
    Bytes raw = ReadWholeFile(HostPath(path));
    std::string text(raw.begin(), raw.end());
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    if (IsUtf8(text)) text = EncodeText(text, codePage, "the document " + path);
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (text[i] == '\n') {
            out += "\r\n";
        } else {
            out += text[i];
        }
    }
    return out;
}

writer::Bytes LoadStubImage(const std::string& path) {
    Bytes image = ReadWholeFile(HostPath(path));
    if (image.size() > kPackageOffset) {
        throw SettingsError("the updater image " + path + " is " + std::to_string(image.size()) +
                            " bytes; it must fit in " + std::to_string(kPackageOffset));
    }
    image.resize(kPackageOffset, 0);
    return image;
}

std::string DefaultStubPath() {
    const fs::path self = OwnProgramPath();
    if (!self.empty()) {
        // Beside the program (the Windows archive), then where `make install`
        // and the Linux archive put it: share/kzp beside the bin folder.
        const fs::path folder = self.parent_path();
        for (const fs::path& image : {folder / "kzpupdater.exe",
                                      folder.parent_path() / "share" / "kzp" / "kzpupdater.exe"}) {
            std::error_code ec;
            if (fs::is_regular_file(image, ec)) return Utf8Of(image);
        }
    }
    return KZP_DEFAULT_STUB;
}

writer::Package BuildPackage(const MakeSettings& s, MakeReport* report, const Progress& progress,
                             const Progress& working, MemoryBudget* budget) {
    // The updater holds one block in memory while it decodes.
    if (s.blockSize == 0 || s.blockSize > kMaxBlockSize) {
        throw SettingsError("the block size must be from 1 to " + std::to_string(kMaxBlockSize) +
                            " bytes");
    }
    const uint32_t cp = s.codePage;
    writer::Package p;
    p.formatVersion = s.compact ? kCompactFormatVersion : 120;
    p.title = ShortText(s.title, cp, "the title");
    p.oldVersion = ShortText(s.oldVersion, cp, "the old version name");
    p.newVersion = ShortText(s.newVersion, cp, "the new version name");
    p.copyright = ShortText(s.copyright, cp, "the copyright text");
    if (s.password) p.SetPassword(EncodeText(*s.password, cp, "the password"));
    p.deleteBackupsDefault = s.deleteBackups ? 1 : 0;
    for (const LanguageSetting& l : s.languages) p.languages.push_back(BuildLanguage(l));
    if (p.languages.size() > 0xFFFF) throw SettingsError("too many language blocks");

    p.target = s.target;
    p.target.path = ShortText(s.target.path, cp, "the target folder path");
    p.target.name = ShortText(s.target.name, cp, "the target folder value or section");
    p.target.key = ShortText(s.target.key, cp, "the target folder key");
    for (writer::FolderRule& r : p.target.rules) {
        r.path = ShortText(r.path, cp, "a rule's path");
        r.name = ShortText(r.name, cp, "a rule's name");
        r.key = ShortText(r.key, cp, "a rule's key");
    }
    p.check = s.check;
    p.check.windowTitle = ShortText(s.check.windowTitle, cp, "the window title");
    p.check.windowClass = ShortText(s.check.windowClass, cp, "the window class");
    p.check.programName = ShortText(s.check.programName, cp, "the program name");
    p.launchFile = ShortText(s.launchFile, cp, "the launch file");
    if (!s.documentBefore.empty()) p.documentBefore = LoadDocument(s.documentBefore, cp);
    if (!s.documentAfter.empty()) p.documentAfter = LoadDocument(s.documentAfter, cp);
    p.ignoreMissingUpdate = s.ignoreMissingUpdate ? 1 : 0;
    p.overwriteOnAdd = s.overwriteOnAdd ? 1 : 0;
    p.ignoreMissingDelete = s.ignoreMissingDelete ? 1 : 0;
    p.verifyMode = s.verifyMode;
    p.bodyAlignment = 8;

    if (s.oldFolder.empty() || s.newFolder.empty())
        throw SettingsError("the old and the new folder are needed");
    const auto oldFiles = ListTree(HostPath(s.oldFolder));
    const auto newFiles = ListTree(HostPath(s.newFolder));
    // Windows takes names that differ only in case for one file: each tree
    // must name every file once that way, and a new file finds its old one so.
    const auto oldByFold = NamesByFold(oldFiles, "old");
    const auto newByFold = NamesByFold(newFiles, "new");
    MakeReport local;
    MakeReport& r = report != nullptr ? *report : local;
    encoder::EncodeOptions options;
    options.blockSize = s.blockSize;
    options.opcodeCost = s.opcodeCost;

    // Every add names a file the old release lacks; the update digests follow.
    writer::RecoveryRecord recovery;
    size_t number = 0;
    auto tell = [&](const std::string& what) {
        if (working)
            working("[" + std::to_string(number) + "/" + std::to_string(newFiles.size()) + "] " +
                    what);
    };
    auto tellMade = [&](const MadeEntry& made) {
        if (progress) {
            progress("update  " + made.name + "  " + std::to_string(made.oldSize) + " -> " +
                     std::to_string(made.newSize) + " bytes, stream " +
                     std::to_string(made.dataSize) + " bytes (" +
                     std::to_string(made.stats.copiedBytes) + " copied, " +
                     std::to_string(made.stats.literalBytes) + " literal)");
        }
    };
    for (const auto& [name, newPath] : newFiles) {
        ++number;
        const std::string packageName = ShortText(name, cp, "the file name");
        auto oldName = oldByFold.find(WindowsFoldedName(name));
        auto old = oldName == oldByFold.end() ? oldFiles.end() : oldFiles.find(oldName->second);
        // A name whose case alone changed is updated under its new name (the
        // updater writes the new file under the entry's name), even where
        // the contents stay.
        const bool renamed = old != oldFiles.end() && old->first != name;
        tell("reading " + name);
        const uint64_t time = LastWriteTicks(newPath);
        const uint64_t exactMemory =
            old != oldFiles.end()
                ? encoder::ExactMatcherMemory(fs::file_size(old->second), fs::file_size(newPath))
                : 0;
        if (old != oldFiles.end() && s.memoryLimit != 0 && exactMemory > s.memoryLimit) {
            // Too large to hold: both files are read in pieces.
            MemoryShare share(budget, s.memoryLimit);
            FileSource oldFile(old->second);
            FileSource newFile(newPath);
            if (newFile.Size() > 0x7FFFFFFFu) throw SettingsError(name + " is larger than 2 GiB");
            if (!renamed && SameContents(oldFile, newFile)) {
                ++r.unchanged;
                continue;
            }
            writer::UpdateEntry e;
            e.name = packageName;
            e.fileTime = writer::FileTimeValue::FromTicks(time);
            e.digest = OldFileDigest(s, name, old->second, oldFile.Size());
            MadeEntry made{name, oldFile.Size(), newFile.Size(), 0, {}, e.digest};
            tell("encoding " + name + " in pieces  " + std::to_string(made.oldSize) + " -> " +
                 std::to_string(made.newSize) + " bytes");
            e.stream =
                encoder::EncodeDiffBounded(oldFile, newFile, s.memoryLimit, options, &made.stats);
            if (s.compact) e.stream = encoder::EncodeCompactFromStream(e.stream);
            made.dataSize = e.stream.size();
            p.updates.push_back(std::move(e));
            recovery.updatedDigests.push_back(Md5OfFile(newPath));
            r.updates.push_back(made);
            tellMade(made);
            continue;
        }
        // Both files and the index of the old one, while the pair is matched.
        MemoryShare share(budget, s.memoryLimit != 0 ? exactMemory : 0);
        Bytes newData = ReadWholeFile(newPath);
        if (newData.size() > 0x7FFFFFFFu) throw SettingsError(name + " is larger than 2 GiB");
        if (old == oldFiles.end()) {
            writer::AddEntry e;
            e.name = packageName;
            e.fileTime = writer::FileTimeValue::FromTicks(time);
            MadeEntry made{name, 0, newData.size(), newData.size(), {}, {}};
            if (s.compact) {
                tell("packing " + name + "  " + std::to_string(made.newSize) + " bytes");
                newData = encoder::EncodeCompactAdd(newData.data(), newData.size());
                made.dataSize = newData.size();
            }
            e.contents = std::move(newData);
            p.adds.push_back(std::move(e));
            recovery.replacedDigests.push_back(std::nullopt);
            r.adds.push_back(made);
            if (progress)
                progress("add     " + name + "  " + std::to_string(made.newSize) + " bytes");
            continue;
        }
        Bytes oldData = ReadWholeFile(old->second);
        if (!renamed && oldData == newData) {
            ++r.unchanged;
            continue;
        }
        writer::UpdateEntry e;
        e.name = packageName;
        e.fileTime = writer::FileTimeValue::FromTicks(time);
        e.digest = s.verifyMode == 0 ? Md5Of(oldData)
                                     : OldFileDigest(s, name, old->second, oldData.size());
        MadeEntry made{name, oldData.size(), newData.size(), 0, {}, e.digest};
        tell("indexing " + name + "  " + std::to_string(made.oldSize) + " bytes");
        encoder::OldFileIndex index(oldData.data(), oldData.size());
        tell("encoding " + name + "  " + std::to_string(made.oldSize) + " -> " +
             std::to_string(made.newSize) + " bytes");
        if (s.compact) {
            encoder::CompactStats stats;
            e.stream = encoder::EncodeCompactUpdate(index, newData.data(), newData.size(), &stats);
            made.stats.copiedBytes = stats.copiedBytes;
            made.stats.literalBytes = stats.literalBytes;
        } else {
            e.stream =
                encoder::EncodeDiff(index, newData.data(), newData.size(), options, &made.stats);
        }
        made.dataSize = e.stream.size();
        p.updates.push_back(std::move(e));
        recovery.updatedDigests.push_back(Md5Of(newData));
        r.updates.push_back(made);
        tellMade(made);
    }
    for (const auto& [name, oldPath] : oldFiles) {
        if (newByFold.count(WindowsFoldedName(name)) != 0) continue;
        const uint64_t oldSize = fs::file_size(oldPath);
        writer::DeleteEntry e;
        e.name = ShortText(name, cp, "the file name");
        e.digest = OldFileDigest(s, name, oldPath, oldSize);
        p.deletes.push_back(e);
        r.deletes.push_back({name, oldSize, 0, 0, {}, e.digest});
        if (progress) progress("delete  " + name);
    }
    p.recovery = std::move(recovery);
    return p;
}

MakeReport MakeUpdater(const MakeSettings& s, const Progress& progress, const Progress& working,
                       MemoryBudget* budget) {
    if (s.output.empty()) throw SettingsError("no output file given (-o)");
    MakeReport report;
    report.stub = s.stub.empty() ? DefaultStubPath() : s.stub;
    if (report.stub.empty()) throw SettingsError("no updater image found; name one with --stub");
    Bytes image = LoadStubImage(report.stub);
    if (IsX86Image(image)) report.warnings = Wow64Warnings(s.target);
    writer::Package package = BuildPackage(s, &report, progress, working, budget);
    writer::Layout layout;
    Bytes body = writer::BuildPackage(package, &layout);
    // Every position the updater seeks to must stay below 2^31.
    if (static_cast<uint64_t>(kPackageOffset) + body.size() > 0x7FFFFFFFull) {
        throw SettingsError("the package would be " + std::to_string(body.size()) +
                            " bytes; the updater reads at most 2 GiB");
    }
    report.packageSize = body.size();
    report.fileSize = image.size() + body.size();
    report.padding = layout.padding;
    report.recoverySize = layout.recoverySize;
    std::copy(body.end() - 16, body.end(), report.packageDigest.begin());
    Md5Context md5;
    Md5Init(&md5);
    Md5Update(&md5, image.data(), static_cast<uint32_t>(image.size()));
    Md5Update(&md5, body.data(), static_cast<uint32_t>(body.size()));
    Md5Final(report.updaterDigest.data(), &md5);
    std::ofstream out(HostPath(s.output), std::ios::binary | std::ios::trunc);
    if (!out) throw FileError("cannot create " + s.output);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.write(reinterpret_cast<const char*>(body.data()),
              static_cast<std::streamsize>(body.size()));
    out.close();
    if (!out) throw FileError("cannot write " + s.output);
    return report;
}

}  // namespace kzp::tool
