#include "support/buffered_file.h"

#include <string.h>

namespace kzp {

namespace {

uint8_t* TakeBuffer(HeapHandle heap, uint32_t capacity) {
    if (capacity == 0 || heap == nullptr) return nullptr;
    return static_cast<uint8_t*>(TheOs().HeapAllocZero(heap, capacity));
}

}  // namespace

// ---- FileReadCache ----------------------------------------------------------

FileReadCache::FileReadCache(FileHandle file, HeapHandle heap, uint32_t capacity, uint32_t windows)
    : file_(file), heap_(heap), buffer_(TakeBuffer(heap, capacity)) {
    windowCount_ = windows < 1 ? 1 : windows > KZP_READ_CACHE_WINDOWS ? KZP_READ_CACHE_WINDOWS : windows;
    // Without a buffer, windows of no bytes: every read goes straight through.
    windowSize_ = buffer_ != nullptr ? capacity / windowCount_ : 0;
}

FileReadCache::Window* FileReadCache::WindowHolding(uint64_t position) {
    for (uint32_t i = 0; i < windowCount_; ++i) {
        Window& w = windows_[i];
        if (position >= w.start && position < w.start + w.length) return &w;
    }
    return nullptr;
}

uint32_t FileReadCache::LeastRecentlyUsed() const {
    uint32_t oldest = 0;
    for (uint32_t i = 1; i < windowCount_; ++i) {
        if (windows_[i].lastUse < windows_[oldest].lastUse) oldest = i;
    }
    return oldest;
}

FileReadCache::~FileReadCache() {
    if (buffer_ != nullptr) TheOs().HeapFree(heap_, buffer_);
}

bool FileReadCache::Seek(uint32_t position) {
    if (position > 0x7FFFFFFFu) return false;
    position_ = position;
    return true;
}

bool FileReadCache::PlaceFilePointer() {
    if (filePointerKnown_ && filePointer_ == position_) return true;
    // Only positions that Seek accepted, or that sequential reads reached
    // with the pointer already there, get here; the former fit the distance.
    if (position_ > 0x7FFFFFFFu) return false;
    uint32_t reached =
        TheOs().SetFilePointer(file_, static_cast<int32_t>(position_), kSeekBegin);
    if (reached != position_) {
        filePointerKnown_ = false;
        return false;
    }
    filePointer_ = position_;
    filePointerKnown_ = true;
    return true;
}

uint32_t FileReadCache::FillSize() const {
    if (limit_ == 0) return windowSize_;
    if (position_ >= limit_) return 0;
    uint64_t left = limit_ - position_;
    return left < windowSize_ ? static_cast<uint32_t>(left) : windowSize_;
}

bool FileReadCache::Read(void* buffer, uint32_t size) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    Os& os = TheOs();
    while (size > 0) {
        // Served from a window as far as it reaches.
        if (Window* w = WindowHolding(position_)) {
            uint32_t offset = static_cast<uint32_t>(position_ - w->start);
            uint32_t held = w->length - offset;
            uint32_t take = held < size ? held : size;
            memcpy(out, buffer_ + (w - windows_) * windowSize_ + offset, take);
            w->lastUse = ++useClock_;
            out += take;
            size -= take;
            position_ += take;
            continue;
        }
        if (!PlaceFilePointer()) return false;
        uint32_t fill = FillSize();
        if (size >= fill) {
            // Large reads (and every read without a buffer) go straight to
            // the caller.
            uint32_t got = 0;
            bool ok = os.ReadFile(file_, out, size, &got);
            if (!ok) {
                filePointerKnown_ = false;
                return false;
            }
            filePointer_ += got;
            position_ += got;
            return got == size;
        }
        Window& w = windows_[LeastRecentlyUsed()];
        w.length = 0;
        uint32_t got = 0;
        bool ok = os.ReadFile(file_, buffer_ + (&w - windows_) * windowSize_, fill, &got);
        if (!ok) {
            filePointerKnown_ = false;
            return false;
        }
        filePointer_ += got;
        w.start = position_;
        w.length = got;
        w.lastUse = ++useClock_;
        if (got == 0) return false;  // the end of the file
    }
    return true;
}

// ---- FileWriteBuffer --------------------------------------------------------

FileWriteBuffer::FileWriteBuffer(FileHandle file, HeapHandle heap, uint32_t capacity)
    : file_(file), heap_(heap), buffer_(TakeBuffer(heap, capacity)), capacity_(capacity) {
    if (buffer_ == nullptr) capacity_ = 0;
}

FileWriteBuffer::~FileWriteBuffer() {
    if (buffer_ != nullptr) TheOs().HeapFree(heap_, buffer_);
}

bool FileWriteBuffer::WriteThrough(const void* data, uint32_t size) {
    uint32_t written = 0;
    if (!TheOs().WriteFile(file_, data, size, &written) || written != size) failed_ = true;
    return !failed_;
}

bool FileWriteBuffer::Flush() {
    if (failed_) return false;
    if (used_ == 0) return true;
    uint32_t size = used_;
    used_ = 0;
    return WriteThrough(buffer_, size);
}

bool FileWriteBuffer::Write(const void* data, uint32_t size) {
    if (failed_) return false;
    if (capacity_ == 0) return size == 0 || WriteThrough(data, size);
    // The file is written in whole buffers only, so every call of the system
    // starts at a multiple of the capacity: pieces that straddle pages cost
    // the file system far more than copying them here does.
    const uint8_t* in = static_cast<const uint8_t*>(data);
    while (size > 0) {
        if (used_ == 0 && size >= capacity_) {
            // Whole buffers' worth need no copy.
            const uint32_t whole = size - size % capacity_;
            if (!WriteThrough(in, whole)) return false;
            in += whole;
            size -= whole;
            continue;
        }
        const uint32_t room = capacity_ - used_;
        const uint32_t take = size < room ? size : room;
        memcpy(buffer_ + used_, in, take);
        used_ += take;
        in += take;
        size -= take;
        if (used_ == capacity_ && !Flush()) return false;
    }
    return true;
}

uint8_t* FileWriteBuffer::Room(uint32_t* size) {
    if (failed_ || capacity_ == 0) {
        *size = 0;
        return nullptr;
    }
    *size = capacity_ - used_;
    return buffer_ + used_;
}

bool FileWriteBuffer::Commit(uint32_t size) {
    used_ += size;
    return used_ < capacity_ || Flush();
}

}  // namespace kzp
