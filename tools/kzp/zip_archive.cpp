#include "tools/kzp/zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "tools/kzp/host_files.h"

namespace kzp::tool {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFull32 = 0xFFFFFFFFu;
constexpr size_t kPiece = 1 << 20;
constexpr uint16_t kZip64Tag = 0x0001;
constexpr uint16_t kVersionDeflate = 20;
constexpr uint16_t kVersionZip64 = 45;
constexpr uint16_t kFlagUtf8Name = 0x0800;
constexpr uint16_t kFlagBestCompression = 0x0002;
constexpr uint16_t kMethodStore = 0;
constexpr uint16_t kMethodDeflate = 8;

// Little-endian fields of a header.
class Fields {
  public:
    Fields& U16(uint64_t v) { return Put(v, 2); }
    Fields& U32(uint64_t v) { return Put(v, 4); }
    Fields& U64(uint64_t v) { return Put(v, 8); }
    Fields& Text(const std::string& t) {
        bytes_.insert(bytes_.end(), t.begin(), t.end());
        return *this;
    }
    Fields& Append(const Fields& f) {
        bytes_.insert(bytes_.end(), f.bytes_.begin(), f.bytes_.end());
        return *this;
    }
    size_t Size() const { return bytes_.size(); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

  private:
    Fields& Put(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    std::vector<uint8_t> bytes_;
};

// Where the archive goes: counted always, written when there is a stream.
class Sink {
  public:
    explicit Sink(std::ostream* out) : out_(out) {}
    void Write(const uint8_t* data, size_t size) {
        if (out_ != nullptr) {
            out_->write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
            if (!*out_) throw FileError("cannot write the .zip archive");
        }
        written_ += size;
    }
    void Write(const Fields& f) { Write(f.Bytes().data(), f.Size()); }
    void Skip(uint64_t size) { written_ += size; }
    bool Counting() const { return out_ == nullptr; }
    uint64_t Written() const { return written_; }

  private:
    std::ostream* out_;
    uint64_t written_ = 0;
};

// Reads a file front to back in pieces.
template <typename Each>
void ForEachPiece(const fs::path& path, Each each) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FileError("cannot open " + DisplayPath(path));
    std::vector<char> piece(kPiece);
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        if (in.gcount() > 0)
            each(reinterpret_cast<const uint8_t*>(piece.data()), static_cast<size_t>(in.gcount()));
    }
    if (!in.eof()) throw FileError("cannot read " + DisplayPath(path));
}

// Deflates a file (raw deflate, as zip keeps it) into `sink`, or only
// measures it; returns the compressed size.
uint64_t Deflate(const fs::path& path, Sink* sink) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw FileError("zlib could not start");
    std::vector<uint8_t> out(kPiece);
    uint64_t produced = 0;
    auto drain = [&](int flush) {
        int r;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            r = deflate(&z, flush);
            const size_t n = out.size() - z.avail_out;
            produced += n;
            if (sink != nullptr) sink->Write(out.data(), n);
        } while (z.avail_out == 0 || (flush == Z_FINISH && r != Z_STREAM_END));
    };
    try {
        ForEachPiece(path, [&](const uint8_t* data, size_t size) {
            z.next_in = const_cast<Bytef*>(data);
            z.avail_in = static_cast<uInt>(size);
            drain(Z_NO_FLUSH);
        });
        z.next_in = nullptr;
        z.avail_in = 0;
        drain(Z_FINISH);
    } catch (...) {
        deflateEnd(&z);
        throw;
    }
    deflateEnd(&z);
    return produced;
}

// DOS time and date (UTC) of FILETIME ticks; zip cannot hold times before 1980.
void DosTime(uint64_t ticks, uint16_t* time, uint16_t* date) {
    int64_t seconds = static_cast<int64_t>(ticks / 10000000u) - 11644473600LL;
    seconds = std::max<int64_t>(seconds, 315532800);  // 1980-01-01
    int64_t days = seconds / 86400;
    const int64_t rest = seconds % 86400;
    // Civil date from days since 1970 (proleptic Gregorian).
    days += 719468;
    const int64_t era = days / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = std::min<int64_t>(yoe + era * 400 + (month <= 2 ? 1 : 0), 2107);
    *time = static_cast<uint16_t>((rest / 3600) << 11 | (rest % 3600 / 60) << 5 | (rest % 60) / 2);
    *date = static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
}

struct Entry {
    std::string name;
    uint16_t flags = 0;
    uint16_t method = kMethodDeflate;
    uint16_t time = 0;
    uint16_t date = 0;
    uint32_t crc = 0;
    uint64_t size = 0;
    uint64_t compressed = 0;
    uint64_t offset = 0;
    bool Zip64Sizes() const { return size >= kFull32 || compressed >= kFull32; }
};

Fields LocalHeader(const Entry& e) {
    Fields extra;
    if (e.Zip64Sizes()) extra.U16(kZip64Tag).U16(16).U64(e.size).U64(e.compressed);
    Fields f;
    f.U32(0x04034b50)
        .U16(e.Zip64Sizes() ? kVersionZip64 : kVersionDeflate)
        .U16(e.flags)
        .U16(e.method)
        .U16(e.time)
        .U16(e.date)
        .U32(e.crc)
        .U32(e.Zip64Sizes() ? kFull32 : e.compressed)
        .U32(e.Zip64Sizes() ? kFull32 : e.size)
        .U16(e.name.size())
        .U16(extra.Size())
        .Text(e.name)
        .Append(extra);
    return f;
}

Fields CentralHeader(const Entry& e) {
    // The zip64 field holds, in this order, each value too large for its place.
    const bool bigSize = e.size >= kFull32, bigCompressed = e.compressed >= kFull32,
               bigOffset = e.offset >= kFull32;
    Fields values;
    if (bigSize) values.U64(e.size);
    if (bigCompressed) values.U64(e.compressed);
    if (bigOffset) values.U64(e.offset);
    Fields extra;
    if (values.Size() > 0) extra.U16(kZip64Tag).U16(values.Size()).Append(values);
    const uint16_t version = values.Size() > 0 ? kVersionZip64 : kVersionDeflate;
    Fields f;
    f.U32(0x02014b50)
        .U16(version)
        .U16(version)
        .U16(e.flags)
        .U16(e.method)
        .U16(e.time)
        .U16(e.date)
        .U32(e.crc)
        .U32(bigCompressed ? kFull32 : e.compressed)
        .U32(bigSize ? kFull32 : e.size)
        .U16(e.name.size())
        .U16(extra.Size())
        .U16(0)  // comment
        .U16(0)  // disk
        .U16(0)  // internal attributes
        .U32(0)  // external attributes
        .U32(bigOffset ? kFull32 : e.offset)
        .Text(e.name)
        .Append(extra);
    return f;
}

Fields EndRecords(uint64_t count, uint64_t directoryOffset, uint64_t directorySize) {
    Fields f;
    const bool zip64 = count >= 0xFFFF || directoryOffset >= kFull32 || directorySize >= kFull32;
    if (zip64) {
        const uint64_t recordOffset = directoryOffset + directorySize;
        f.U32(0x06064b50).U64(44).U16(kVersionZip64).U16(kVersionZip64).U32(0).U32(0);
        f.U64(count).U64(count).U64(directorySize).U64(directoryOffset);
        f.U32(0x07064b50).U32(0).U64(recordOffset).U32(1);
    }
    f.U32(0x06054b50).U16(0).U16(0);
    f.U16(std::min<uint64_t>(count, 0xFFFF)).U16(std::min<uint64_t>(count, 0xFFFF));
    f.U32(std::min<uint64_t>(directorySize, kFull32));
    f.U32(std::min<uint64_t>(directoryOffset, kFull32));
    f.U16(0);
    return f;
}

}  // namespace

uint64_t WriteZipArchive(const fs::path& folder, std::ostream* out) {
    Sink sink(out);
    std::vector<Entry> entries;
    for (const auto& [name, path] : ListTree(folder)) {
        Entry e;
        e.name = name;
        std::replace(e.name.begin(), e.name.end(), '\\', '/');
        if (std::any_of(e.name.begin(), e.name.end(), [](char c) { return c & 0x80; }))
            e.flags |= kFlagUtf8Name;
        DosTime(LastWriteTicks(path), &e.time, &e.date);
        uLong crc = crc32(0, nullptr, 0);
        ForEachPiece(path, [&](const uint8_t* data, size_t size) {
            crc = crc32(crc, data, static_cast<uInt>(size));
            e.size += size;
        });
        e.crc = static_cast<uint32_t>(crc);
        e.compressed = Deflate(path, nullptr);
        if (e.compressed >= e.size) {
            e.method = kMethodStore;
            e.compressed = e.size;
        } else {
            e.flags |= kFlagBestCompression;
        }
        e.offset = sink.Written();
        sink.Write(LocalHeader(e));
        if (sink.Counting()) {
            sink.Skip(e.compressed);
        } else if (e.method == kMethodStore) {
            ForEachPiece(path, [&](const uint8_t* data, size_t size) { sink.Write(data, size); });
        } else if (Deflate(path, &sink) != e.compressed) {
            throw FileError(DisplayPath(path) + " changed while it was read");
        }
        entries.push_back(std::move(e));
    }
    const uint64_t directoryOffset = sink.Written();
    for (const Entry& e : entries) sink.Write(CentralHeader(e));
    sink.Write(EndRecords(entries.size(), directoryOffset, sink.Written() - directoryOffset));
    return sink.Written();
}

}  // namespace kzp::tool
