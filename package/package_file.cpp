#include "package/package_file.h"

#include <string.h>

namespace kzp {

bool PackageFile::QuerySize(uint32_t* size) {
    uint32_t high = 0;
    uint32_t low = TheOs().GetFileSize(file_, &high);
    if (low == kInvalidFileValue || high != 0) return false;
    size_ = low;
    sizeKnown_ = true;
    *size = low;
    return true;
}

bool PackageFile::Seek(uint64_t position) {
    if (position > 0x7FFFFFFFu) return false;
    uint32_t target = static_cast<uint32_t>(position);
    if (positionKnown_ && target >= bufferStart_ && target <= bufferStart_ + valid_) {
        offset_ = target - bufferStart_;
        return true;
    }
    uint32_t reached = TheOs().SetFilePointer(file_, static_cast<int32_t>(target), kSeekBegin);
    if (reached == kInvalidFileValue || reached != target) {
        positionKnown_ = false;
        valid_ = offset_ = 0;
        return false;
    }
    positionKnown_ = true;
    bufferStart_ = target;
    valid_ = offset_ = 0;
    return true;
}

uint32_t PackageFile::Tell() const {
    return positionKnown_ ? bufferStart_ + offset_ : kInvalidFileValue;
}

uint32_t PackageFile::Remaining() {
    uint32_t size = 0;
    if (!sizeKnown_ && !QuerySize(&size)) return 0;
    uint32_t position = Tell();
    if (!sizeKnown_ || position == kInvalidFileValue || position >= size_) return 0;
    return size_ - position;
}

bool PackageFile::Fill() {
    // The file pointer stands at bufferStart_ + valid_.
    bufferStart_ += valid_;
    valid_ = offset_ = 0;
    uint32_t got = 0;
    if (!TheOs().ReadFile(file_, buffer_, sizeof(buffer_), &got)) return false;
    valid_ = got;
    return got > 0;
}

bool PackageFile::Read(void* buffer, uint32_t size) {
    if (!positionKnown_) return false;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        uint32_t held = valid_ - offset_;
        if (held == 0) {
            // Large reads go straight to the caller's buffer.
            if (size >= kPackageDirectRead) {
                bufferStart_ += valid_;
                valid_ = offset_ = 0;
                uint32_t got = 0;
                bool ok = TheOs().ReadFile(file_, out, size, &got);
                bufferStart_ += got;
                return ok && got == size;
            }
            if (!Fill()) return false;
            held = valid_;
        }
        uint32_t take = held < size ? held : size;
        memcpy(out, buffer_ + offset_, take);
        offset_ += take;
        out += take;
        size -= take;
    }
    return true;
}

bool PackageFile::Peek(uint32_t size, const uint8_t** data) {
    *data = nullptr;
    if (!positionKnown_) return false;
    if (valid_ == offset_) {
        if (size == 0 || size >= kPackageDirectRead) return true;
        if (!Fill()) return false;
    }
    if (valid_ - offset_ < size) return true;
    *data = buffer_ + offset_;
    offset_ += size;
    return true;
}

bool PackageFile::ReadU8(uint8_t* value) {
    return Read(value, 1);
}

bool PackageFile::ReadU16(uint16_t* value) {
    uint8_t b[2];
    if (!Read(b, 2)) return false;
    *value = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
}

bool PackageFile::ReadU32(uint32_t* value) {
    uint8_t b[4];
    if (!Read(b, 4)) return false;
    *value = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
             (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
}

}  // namespace kzp
