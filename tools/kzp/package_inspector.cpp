#include "tools/kzp/package_inspector.h"

#include <cstring>

#include <algorithm>

#include "package/package_layout.h"
#include "support/md5.h"

namespace kzp::tool {
namespace {

class Reader {
  public:
    Reader(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}

    uint64_t Pos() const { return pos_; }
    uint64_t Remaining() const { return size_ - pos_; }

    void Need(uint64_t n, const char* what) {
        if (size_ - pos_ < n) {
            throw PackageError(std::string("the package ends inside ") + what, pos_);
        }
    }
    uint8_t U8(const char* what) {
        Need(1, what);
        return data_[pos_++];
    }
    uint16_t U16(const char* what) {
        Need(2, what);
        uint16_t v = static_cast<uint16_t>(data_[pos_] | data_[pos_ + 1] << 8);
        pos_ += 2;
        return v;
    }
    uint32_t U32(const char* what) {
        Need(4, what);
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | data_[pos_ + static_cast<uint64_t>(i)];
        pos_ += 4;
        return v;
    }
    std::string Bytes(uint64_t n, const char* what) {
        Need(n, what);
        std::string s(reinterpret_cast<const char*>(data_ + pos_), static_cast<size_t>(n));
        pos_ += n;
        return s;
    }
    std::string Short(const char* what) {
        uint8_t n = U8(what);
        return Bytes(n, what);
    }
    writer::Digest Digest(const char* what) {
        Need(16, what);
        writer::Digest d;
        std::memcpy(d.data(), data_ + pos_, 16);
        pos_ += 16;
        return d;
    }
    writer::FileTimeValue Time(const char* what) {
        writer::FileTimeValue t;
        t.low = U32(what);
        t.high = U32(what);
        return t;
    }

  private:
    const uint8_t* data_;
    uint64_t size_;
    uint64_t pos_ = 0;
};

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint64_t PackageEndOf(const uint8_t* file, uint64_t size, uint64_t* certificateSize) {
    if (certificateSize != nullptr) *certificateSize = 0;
    auto u32 = [&](uint64_t at, uint32_t* v) {
        if (at > size || size - at < 4) return false;
        *v = Le32(file + at);
        return true;
    };
    uint32_t peOffset = 0;
    uint32_t signature = 0;
    if (!u32(0x3C, &peOffset) || peOffset >= kPackageOffset || !u32(peOffset, &signature) ||
        signature != 0x00004550) {
        return size;
    }
    const uint64_t optional = static_cast<uint64_t>(peOffset) + 24;
    if (optional + 2 > size) return size;
    const uint16_t magic = static_cast<uint16_t>(file[optional] | file[optional + 1] << 8);
    uint64_t directories;
    if (magic == 0x10B) {
        directories = optional + 96;
    } else if (magic == 0x20B) {
        directories = optional + 112;
    } else {
        return size;
    }
    uint32_t count = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    if (!u32(directories - 4, &count) || count <= 4 || !u32(directories + 32, &offset) ||
        !u32(directories + 36, &length)) {
        return size;
    }
    if (length == 0 || offset < kPackageOffset || offset > size || size - offset != length)
        return size;
    if (certificateSize != nullptr) *certificateSize = length;
    return offset;
}

namespace {

// The sections of the package in the order the updater reads them, each with
// the name of the reader's operation for the same section.

void ReadPackageHeader(Reader& in, writer::Package& p) {
    if (in.Bytes(4, "the magic") != "KZP ")
        throw PackageError("not a kzp package (no \"KZP \" magic)", 0);
    p.formatVersion = in.U16("the header");
    if (!IsKnownFormatVersion(p.formatVersion)) {
        throw PackageError(
            "format version " + std::to_string(p.formatVersion) + " is newer than 120", 4);
    }
    p.title = in.Short("the title");
    p.oldVersion = in.Short("the old version name");
    p.newVersion = in.Short("the new version name");
    p.copyright = in.Short("the copyright text");
    p.passwordFlag = in.U8("the password flag");
    if (p.passwordFlag == 1) p.passwordDigest = in.Digest("the password digest");
}

void ReadLanguageSection(Reader& in, writer::Package& p) {
    p.deleteBackupsDefault = 1;
    if (p.formatVersion < kVersionWithLanguages) return;
    p.deleteBackupsDefault = in.U8("the options");
    const uint16_t count = in.U16("the language block count");
    for (uint16_t b = 0; b < count; ++b) {
        writer::LanguageBlock block;
        block.codePage = in.U32("a language block");
        block.fontFace = in.Short("a language block");
        block.fontHeight = in.U8("a language block");
        for (std::string& text : block.texts) text = in.Short("a language block's texts");
        p.languages.push_back(std::move(block));
    }
}

void ReadFolderRules(Reader& in, writer::TargetFolder& t) {
    const uint32_t count = in.U32("the rule list");
    // Each rule takes at least 6 bytes: refuse counts the package cannot hold.
    if (count > in.Remaining() / 6) {
        throw PackageError("the rule count " + std::to_string(count) + " exceeds the package",
                           in.Pos());
    }
    for (uint32_t i = 0; i < count; ++i) {
        writer::FolderRule rule;
        rule.kind = in.U8("a folder rule");
        rule.rootOrBase = in.U8("a folder rule");
        rule.path = in.Short("a folder rule");
        rule.name = in.Short("a folder rule");
        rule.key = in.Short("a folder rule");
        rule.resultVariable = in.U8("a folder rule");
        t.rules.push_back(std::move(rule));
    }
}

void ReadTargetFolderSection(Reader& in, writer::Package& p) {
    writer::TargetFolder& t = p.target;
    t.type = in.U8("the target-folder section");
    switch (t.type) {
        case kFolderRegistry:
            t.rootOrBase = in.U8("the registry record");
            t.path = in.Short("the registry record");
            t.name = in.Short("the registry record");
            break;
        case kFolderIni:
            t.rootOrBase = in.U8("the INI record");
            t.path = in.Short("the INI record");
            t.name = in.Short("the INI record");
            t.key = in.Short("the INI record");
            break;
        case kFolderBasePlusPath:
            t.rootOrBase = in.U8("the folder record");
            t.path = in.Short("the folder record");
            break;
        case kFolderRules:
            if (p.formatVersion >= kVersionWithLanguages) ReadFolderRules(in, t);
            break;
        default:
            break;
    }
}

void ReadRunningCheckSection(Reader& in, writer::RunningCheck& c) {
    c.type = in.U8("the running-program check");
    if (c.type == kCheckByWindow) {
        c.windowTitle = in.Short("the window check");
        c.windowClass = in.Short("the window check");
        c.waitForExit = in.U8("the window check");
    } else if (c.type == kCheckByProcess) {
        c.programName = in.Short("the program check");
        c.waitForExit = in.U8("the program check");
    }
}

void ReadLaunchAndDocuments(Reader& in, writer::Package& p) {
    p.launchFile = in.Short("the launch file");
    const uint32_t before = in.U32("the first document");
    if (before > 0) p.documentBefore = in.Bytes(before, "the first document");
    const uint32_t after = in.U32("the second document");
    if (after > 0) p.documentAfter = in.Bytes(after, "the second document");
}

void ReadApplyOptions(Reader& in, writer::Package& p) {
    if (p.formatVersion < kVersionWithLanguages) return;
    p.ignoreMissingUpdate = in.U8("the apply options");
    p.overwriteOnAdd = in.U8("the apply options");
    p.ignoreMissingDelete = in.U8("the apply options");
}

struct ListCounts {
    uint32_t updates = 0;
    uint32_t adds = 0;
    uint32_t deletes = 0;
};

ListCounts ReadListHeader(Reader& in, writer::Package& p) {
    p.verifyMode = in.U8("the list header");
    ListCounts n;
    n.updates = in.U32("the list header");
    n.adds = in.U32("the list header");
    n.deletes = in.U32("the list header");
    // Entries take at least 33, 17 and 17 bytes.
    if (n.updates > in.Remaining() / 33 || n.adds > in.Remaining() / 17 ||
        n.deletes > in.Remaining() / 17 ||
        static_cast<uint64_t>(n.updates) * 33 + static_cast<uint64_t>(n.adds) * 17 +
                static_cast<uint64_t>(n.deletes) * 17 >
            in.Remaining()) {
        throw PackageError("the list counts " + std::to_string(n.updates) + ", " +
                               std::to_string(n.adds) + ", " + std::to_string(n.deletes) +
                               " exceed the package",
                           in.Pos());
    }
    return n;
}

// Where an entry's data lies, and whether that is inside the package body.
InspectedData ReadDataPlace(Reader& in, uint64_t bodySize, const char* what) {
    const uint32_t offset = in.U32(what);
    const uint32_t length = in.U32(what);
    return {offset, length, offset <= bodySize && length <= bodySize - offset};
}

// The three lists, entry by entry (the reader's ReadFileEntry for each).
void ReadFileEntries(Reader& in, const ListCounts& n, uint64_t bodySize, InspectedPackage& r) {
    writer::Package& p = r.package;
    for (uint32_t i = 0; i < n.updates; ++i) {
        writer::UpdateEntry e;
        e.name = in.Short("an update entry");
        e.digest = in.Digest("an update entry");
        e.fileTime = in.Time("an update entry");
        r.updateData.push_back(ReadDataPlace(in, bodySize, "an update entry"));
        p.updates.push_back(std::move(e));
    }
    for (uint32_t i = 0; i < n.adds; ++i) {
        writer::AddEntry e;
        e.name = in.Short("an add entry");
        e.fileTime = in.Time("an add entry");
        r.addData.push_back(ReadDataPlace(in, bodySize, "an add entry"));
        p.adds.push_back(std::move(e));
    }
    for (uint32_t i = 0; i < n.deletes; ++i) {
        writer::DeleteEntry e;
        e.name = in.Short("a delete entry");
        e.digest = in.Digest("a delete entry");
        p.deletes.push_back(std::move(e));
    }
}

// Streams: checked against the old size when the entry records it
// (date-and-size mode), else only against the seek limit. Add contents must
// lie inside the package.
// Compact data: its header read and its streams' lengths checked against
// the entry's data length.
encoder::CompactHeader CheckCompactData(const uint8_t* base, const InspectedData& d,
                                        encoder::StreamCheck* check) {
    encoder::CompactHeader header;
    check->wellFormed =
        d.inside && encoder::ReadCompactHeader(base + d.dataOffset, d.dataLength, d.dataLength,
                                               &header, &check->problem);
    if (!d.inside) check->problem = "the data lies outside the package";
    return header;
}

void CheckCompactEntries(const uint8_t* base, InspectedPackage& r) {
    const writer::Package& p = r.package;
    for (size_t i = 0; i < p.updates.size(); ++i) {
        encoder::StreamCheck check;
        r.compactUpdates.push_back(CheckCompactData(base, r.updateData[i], &check));
        r.streams.push_back(check);
        if (!check.wellFormed)
            r.problems.push_back("update " + p.updates[i].name + ": " + check.problem);
    }
    for (size_t i = 0; i < p.adds.size(); ++i) {
        encoder::StreamCheck check;
        r.compactAdds.push_back(CheckCompactData(base, r.addData[i], &check));
        if (!check.wellFormed) r.problems.push_back("add " + p.adds[i].name + ": " + check.problem);
    }
}

void CheckEntryData(const uint8_t* base, uint64_t bodySize, InspectedPackage& r) {
    const writer::Package& p = r.package;
    if (r.compact) return CheckCompactEntries(base, r);
    for (size_t i = 0; i < p.updates.size(); ++i) {
        const InspectedData& d = r.updateData[i];
        uint64_t oldSize = 0x7FFFFFFFull;
        if (p.verifyMode != 0) oldSize = Le32(p.updates[i].digest.data() + 8);
        if (d.dataOffset > bodySize) {
            encoder::StreamCheck check;
            check.problem = "the stream starts outside the package";
            r.streams.push_back(check);
        } else {
            r.streams.push_back(encoder::CheckDiffStream(
                base + d.dataOffset, bodySize - d.dataOffset, d.dataLength, oldSize));
        }
        if (!r.streams.back().wellFormed) {
            r.problems.push_back("update " + p.updates[i].name + ": " + r.streams.back().problem);
        }
    }
    for (size_t i = 0; i < p.adds.size(); ++i) {
        if (!r.addData[i].inside)
            r.problems.push_back("add " + p.adds[i].name + ": its data lies outside the package");
    }
}

void CheckTrailer(const uint8_t* base, uint64_t bodySize, InspectedPackage& r) {
    std::memcpy(r.storedTrailer.data(), base + bodySize, 16);
    Md5Context md5;
    Md5Init(&md5);
    for (uint64_t done = 0; done < bodySize;) {
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(bodySize - done, 1u << 30));
        Md5Update(&md5, base + done, piece);
        done += piece;
    }
    Md5Final(r.computedTrailer.data(), &md5);
    r.trailerMatches = r.storedTrailer == r.computedTrailer;
    if (!r.trailerMatches) r.problems.push_back("the trailer does not match the package");
}

}  // namespace

InspectedPackage InspectPackage(const std::vector<uint8_t>& file) {
    InspectedPackage r;
    r.fileSize = file.size();
    const bool updaterFile = file.size() > kPackageOffset && file[0] == 'M' && file[1] == 'Z';
    if (updaterFile) {
        r.packageOffset = kPackageOffset;
        r.packageEnd = PackageEndOf(file.data(), file.size(), &r.certificateSize);
        r.certificateTable = r.packageEnd != file.size();
    } else {
        r.packageOffset = 0;
        r.packageEnd = file.size();
    }
    const uint8_t* base = file.data() + r.packageOffset;
    const uint64_t length = r.packageEnd - r.packageOffset;
    if (length < kTrailerSize) {
        throw PackageError("no package: " + std::to_string(length) +
                               " bytes where at least the 16-byte trailer belongs",
                           0);
    }
    const uint64_t bodySize = length - kTrailerSize;
    Reader in(base, bodySize);
    writer::Package& p = r.package;

    ReadPackageHeader(in, p);
    r.compact = p.formatVersion == kCompactFormatVersion;
    ReadLanguageSection(in, p);
    ReadTargetFolderSection(in, p);
    if (p.formatVersion >= kVersionWithCheckSection) {
        ReadRunningCheckSection(in, p.check);
        ReadLaunchAndDocuments(in, p);
    }
    ReadApplyOptions(in, p);
    const ListCounts counts = ReadListHeader(in, p);
    ReadFileEntries(in, counts, bodySize, r);
    r.listsEnd = in.Pos();

    CheckEntryData(base, bodySize, r);
    CheckTrailer(base, bodySize, r);
    return r;
}

const uint8_t* UpdateStreamData(const std::vector<uint8_t>& file, const InspectedPackage& p,
                                size_t i) {
    const InspectedData& d = p.updateData.at(i);
    return d.inside ? file.data() + p.packageOffset + d.dataOffset : nullptr;
}

const uint8_t* AddData(const std::vector<uint8_t>& file, const InspectedPackage& p, size_t i) {
    const InspectedData& d = p.addData.at(i);
    return d.inside ? file.data() + p.packageOffset + d.dataOffset : nullptr;
}

}  // namespace kzp::tool
