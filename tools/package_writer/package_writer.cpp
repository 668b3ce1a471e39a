#include "tools/package_writer/package_writer.h"

#include <cstring>
#include <stdexcept>

#include "package/package_layout.h"
#include "support/md5.h"

namespace kzp::writer {
namespace {

void PutU8(Bytes& out, uint8_t v) {
    out.push_back(v);
}

void PutBytes(Bytes& out, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    out.insert(out.end(), p, p + size);
}

void PutShortString(Bytes& out, const std::string& text) {
    if (text.size() > 255) throw StringTooLong();
    PutU8(out, static_cast<uint8_t>(text.size()));
    PutBytes(out, text.data(), text.size());
}

void PutLongText(Bytes& out, const std::optional<std::string>& text) {
    if (!text || text->empty()) {
        PutU32(out, 0);
        return;
    }
    PutU32(out, static_cast<uint32_t>(text->size()));
    PutBytes(out, text->data(), text->size());
}

void PutFileTime(Bytes& out, FileTimeValue t) {
    PutU32(out, t.low);
    PutU32(out, t.high);
}

void PutTargetFolder(Bytes& out, const Package& p) {
    const TargetFolder& t = p.target;
    PutU8(out, t.type);
    switch (t.type) {
        case kFolderRegistry:
            PutU8(out, t.rootOrBase);
            PutShortString(out, t.path);
            PutShortString(out, t.name);
            break;
        case kFolderIni:
            PutU8(out, t.rootOrBase);
            PutShortString(out, t.path);
            PutShortString(out, t.name);
            PutShortString(out, t.key);
            break;
        case kFolderBasePlusPath:
            PutU8(out, t.rootOrBase);
            PutShortString(out, t.path);
            break;
        case kFolderRules:
            if (p.formatVersion < kVersionWithLanguages) break;
            PutU32(out, t.ruleCountOverride.value_or(static_cast<uint32_t>(t.rules.size())));
            for (const FolderRule& r : t.rules) {
                PutU8(out, r.kind);
                PutU8(out, r.rootOrBase);
                PutShortString(out, r.path);
                PutShortString(out, r.name);
                PutShortString(out, r.key);
                PutU8(out, r.resultVariable);
            }
            break;
        default:
            break;
    }
}

}  // namespace

void PutU16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Package::SetPassword(const std::string& password) {
    passwordFlag = 1;
    passwordDigest = Md5(password);
}

Digest Md5(const Bytes& data) {
    Digest d;
    kzp::Md5Context context;
    kzp::Md5Init(&context);
    // Feed in pieces so that buffers of any size work with the 32-bit length.
    size_t done = 0;
    while (done < data.size()) {
        uint32_t piece = static_cast<uint32_t>(std::min<size_t>(data.size() - done, 1u << 30));
        kzp::Md5Update(&context, data.data() + done, piece);
        done += piece;
    }
    kzp::Md5Final(d.data(), &context);
    return d;
}

Digest Md5(const std::string& data) {
    return Md5(Bytes(data.begin(), data.end()));
}

Digest DateSizeDigest(FileTimeValue time, uint32_t size) {
    Bytes b;
    PutFileTime(b, time);
    PutU32(b, size);
    PutU32(b, 0);
    Digest d;
    std::memcpy(d.data(), b.data(), 16);
    return d;
}

Bytes BuildPackage(const Package& p, Layout* layoutOut) {
    Bytes out;
    PutBytes(out, kPackageMagic, sizeof(kPackageMagic));
    PutU16(out, p.formatVersion);
    PutShortString(out, p.title);
    PutShortString(out, p.oldVersion);
    PutShortString(out, p.newVersion);
    PutShortString(out, p.copyright);
    PutU8(out, p.passwordFlag);
    if (p.passwordFlag == 1) PutBytes(out, p.passwordDigest.data(), 16);

    if (p.formatVersion >= kVersionWithLanguages) {
        PutU8(out, p.deleteBackupsDefault);
        PutU16(out, static_cast<uint16_t>(p.languages.size()));
        for (const LanguageBlock& block : p.languages) {
            PutU32(out, block.codePage);
            PutShortString(out, block.fontFace);
            PutU8(out, block.fontHeight);
            for (const std::string& text : block.texts) PutShortString(out, text);
        }
    }

    PutTargetFolder(out, p);

    if (p.formatVersion >= kVersionWithCheckSection) {
        const RunningCheck& c = p.check;
        PutU8(out, c.type);
        if (c.type == kCheckByWindow) {
            PutShortString(out, c.windowTitle);
            PutShortString(out, c.windowClass);
            PutU8(out, c.waitForExit);
        } else if (c.type == kCheckByProcess) {
            PutShortString(out, c.programName);
            PutU8(out, c.waitForExit);
        }
        PutShortString(out, p.launchFile);
        PutLongText(out, p.documentBefore);
        PutLongText(out, p.documentAfter);
    }

    if (p.formatVersion >= kVersionWithLanguages) {
        PutU8(out, p.ignoreMissingUpdate);
        PutU8(out, p.overwriteOnAdd);
        PutU8(out, p.ignoreMissingDelete);
    }

    PutU8(out, p.verifyMode);
    PutU32(out, p.updateCountOverride.value_or(static_cast<uint32_t>(p.updates.size())));
    PutU32(out, p.addCountOverride.value_or(static_cast<uint32_t>(p.adds.size())));
    PutU32(out, p.deleteCountOverride.value_or(static_cast<uint32_t>(p.deletes.size())));

    // The entries' data follows the lists in entry order: update streams,
    // then added contents. Work out the offsets before writing the entries.
    size_t listsSize = out.size();
    for (const UpdateEntry& e : p.updates) listsSize += 1 + e.name.size() + kUpdateEntryFields;
    for (const AddEntry& e : p.adds) listsSize += 1 + e.name.size() + kAddEntryFields;
    for (const DeleteEntry& e : p.deletes) listsSize += 1 + e.name.size() + kDeleteEntryFields;

    Layout layout;
    layout.listsEnd = static_cast<uint32_t>(listsSize);
    uint64_t next = listsSize;
    for (const UpdateEntry& e : p.updates) {
        layout.updateOffsets.push_back(static_cast<uint32_t>(next));
        next += e.stream.size();
    }
    for (const AddEntry& e : p.adds) {
        layout.addOffsets.push_back(static_cast<uint32_t>(next));
        next += e.contents.size();
    }
    if (next + p.dataPadding > 0xFFFFFFFFull) throw std::length_error("package larger than 4 GiB");

    for (size_t i = 0; i < p.updates.size(); ++i) {
        const UpdateEntry& e = p.updates[i];
        PutShortString(out, e.name);
        PutBytes(out, e.digest.data(), 16);
        PutFileTime(out, e.fileTime);
        PutU32(out, e.dataOffsetOverride.value_or(layout.updateOffsets[i]));
        PutU32(out, e.dataLengthOverride.value_or(static_cast<uint32_t>(e.stream.size())));
    }
    for (size_t i = 0; i < p.adds.size(); ++i) {
        const AddEntry& e = p.adds[i];
        PutShortString(out, e.name);
        PutFileTime(out, e.fileTime);
        PutU32(out, e.dataOffsetOverride.value_or(layout.addOffsets[i]));
        PutU32(out, e.dataLengthOverride.value_or(static_cast<uint32_t>(e.contents.size())));
    }
    for (const DeleteEntry& e : p.deletes) {
        PutShortString(out, e.name);
        PutBytes(out, e.digest.data(), 16);
    }
    if (out.size() != listsSize) throw std::logic_error("package lists size mismatch");

    for (const UpdateEntry& e : p.updates) out.insert(out.end(), e.stream.begin(), e.stream.end());
    for (const AddEntry& e : p.adds) out.insert(out.end(), e.contents.begin(), e.contents.end());
    out.insert(out.end(), p.dataPadding, 0);
    uint32_t padding = p.dataPadding;
    Bytes recovery;
    if (p.recovery) {
        if (p.recovery->updatedDigests.size() != p.updates.size() ||
            p.recovery->replacedDigests.size() != p.adds.size()) {
            throw std::invalid_argument("the recovery record does not match the lists");
        }
        recovery = BuildRecoveryRecord(*p.recovery);
    }
    if (p.bodyAlignment > 1) {
        const size_t over = (out.size() + recovery.size() + kTrailerSize) % p.bodyAlignment;
        if (over != 0) {
            out.insert(out.end(), p.bodyAlignment - over, 0);
            padding += static_cast<uint32_t>(p.bodyAlignment - over);
        }
    }
    out.insert(out.end(), recovery.begin(), recovery.end());
    if (out.size() > 0xFFFFFFFFull - kTrailerSize)
        throw std::length_error("package larger than 4 GiB");
    layout.padding = padding;
    layout.recoverySize = static_cast<uint32_t>(recovery.size());

    layout.bodySize = static_cast<uint32_t>(out.size());
    Digest trailer = Md5(out);
    out.insert(out.end(), trailer.begin(), trailer.end());
    if (layoutOut != nullptr) *layoutOut = layout;
    return out;
}

Bytes BuildRecoveryRecord(const RecoveryRecord& record) {
    Bytes out;
    for (const Digest& d : record.updatedDigests) PutBytes(out, d.data(), d.size());
    for (const std::optional<Digest>& d : record.replacedDigests) {
        out.push_back(d ? 1 : 0);
        if (d) PutBytes(out, d->data(), d->size());
    }
    const uint32_t bodyLength = static_cast<uint32_t>(out.size());
    PutU32(out, static_cast<uint32_t>(record.updatedDigests.size()));
    PutU32(out, static_cast<uint32_t>(record.replacedDigests.size()));
    PutU32(out, bodyLength);
    out.insert(out.end(), kRecoveryMagic, kRecoveryMagic + sizeof(kRecoveryMagic));
    return out;
}

Bytes MakeStubImage() {
    Bytes image(kPackageOffset, 0);
    image[0] = 'M';
    image[1] = 'Z';
    return image;
}

Bytes BuildUpdaterFile(const Bytes& image, const Package& package, Layout* layout) {
    if (image.size() != kPackageOffset)
        throw std::invalid_argument("the updater image must be 0x18000 bytes");
    Bytes file = image;
    Bytes body = BuildPackage(package, layout);
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

DiffStream::DiffStream(uint32_t blockSize, uint16_t version, std::string magic)
    : blockSize_(blockSize) {
    PutBytes(data_, magic.data(), magic.size());
    PutU16(data_, version);
    PutU32(data_, blockSize);
}

DiffStream& DiffStream::CopyBlock(uint32_t offset) {
    PutU8(data_, kOpCopyBlock);
    PutU32(data_, offset);
    return *this;
}

DiffStream& DiffStream::CopyBlocks(uint32_t offset, uint32_t count) {
    PutU8(data_, kOpCopyBlocks);
    PutU32(data_, offset);
    PutU32(data_, count);
    return *this;
}

DiffStream& DiffStream::CopyRange(uint32_t offset, uint32_t length) {
    PutU8(data_, kOpCopyRange);
    PutU32(data_, offset);
    PutU32(data_, length);
    return *this;
}

DiffStream& DiffStream::LiteralBlock(const Bytes& block) {
    PutU8(data_, kOpLiteralBlock);
    data_.insert(data_.end(), block.begin(), block.end());
    return *this;
}

DiffStream& DiffStream::LiteralBlocks(const Bytes& blocks) {
    PutU8(data_, kOpLiteralBlocks);
    PutU32(data_, blockSize_ == 0 ? 0 : static_cast<uint32_t>(blocks.size() / blockSize_));
    data_.insert(data_.end(), blocks.begin(), blocks.end());
    return *this;
}

DiffStream& DiffStream::LiteralRange(const Bytes& bytes) {
    PutU8(data_, kOpLiteralRange);
    PutU32(data_, static_cast<uint32_t>(bytes.size()));
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
}

DiffStream& DiffStream::Byte(uint8_t raw) {
    PutU8(data_, raw);
    return *this;
}

DiffStream& DiffStream::U32(uint32_t raw) {
    PutU32(data_, raw);
    return *this;
}

DiffStream& DiffStream::End() {
    PutU8(data_, kOpEnd);
    return *this;
}

}  // namespace kzp::writer
