#include "support/buffered_file.h"

#include <string.h>

namespace kzp {

namespace {

uint8_t* TakeBuffer(HeapHandle heap, uint32_t capacity) {
    if (capacity == 0 || heap == kNoHeap) return nullptr;
    return static_cast<uint8_t*>(TheOs().HeapAllocZero(heap, capacity));
}

}  // namespace

// ---- FileReadCache ----------------------------------------------------------

FileReadCache::FileReadCache(FileHandle file, HeapHandle heap, uint32_t capacity, uint32_t windows)
    : file_(file),
      heap_(heap),
      buffer_(TakeBuffer(heap, capacity)),
      positionedReads_(TheOs().GetVersion().platformId != kPlatformWin32Windows) {
    uint32_t count = windows < 1                        ? 1
                     : windows > KZP_READ_CACHE_WINDOWS ? KZP_READ_CACHE_WINDOWS
                                                        : windows;
    ways_ = count < kWays ? count : kWays;
    windowCount_ = count - count % ways_;
    // Without a buffer, windows of no bytes: every read goes straight through.
    windowSize_ = buffer_ != nullptr ? capacity / windowCount_ : 0;
}

FileReadCache::Window* FileReadCache::WindowHolding(uint64_t position) {
    if (windowSize_ == 0) return nullptr;
    const uint64_t start = position - position % windowSize_;
    // Reads mostly go on where the last one ended.
    Window& last = windows_[recent_];
    if (last.length != 0 && last.start == start) {
        return position < start + last.length ? &last : nullptr;
    }
    const uint32_t first = SetOf(start) * ways_;
    for (uint32_t i = first; i < first + ways_; ++i) {
        Window& w = windows_[i];
        if (w.length != 0 && w.start == start) {
            recent_ = i;
            return position < start + w.length ? &w : nullptr;
        }
    }
    return nullptr;
}

uint32_t FileReadCache::SetOf(uint64_t start) const {
    return static_cast<uint32_t>(start / windowSize_ % (windowCount_ / ways_));
}

uint32_t FileReadCache::LeastRecentlyUsed(uint64_t start) const {
    const uint32_t first = SetOf(start) * ways_;
    uint32_t oldest = first;
    for (uint32_t i = first + 1; i < first + ways_; ++i) {
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

bool FileReadCache::ReadSystem(uint64_t at, void* into, uint32_t size, uint32_t* got) {
    Os& os = TheOs();
    *got = 0;
    // Where the last read ended, a plain read needs no seek.
    if (!filePointerKnown_ || filePointer_ != at) {
        filePointerKnown_ = false;
        if (at > 0x7FFFFFFFu) return false;
        if (positionedReads_)
            return os.ReadFileAt(file_, static_cast<uint32_t>(at), into, size, got);
        if (os.SetFilePointer(file_, static_cast<int32_t>(at), kSeekBegin) != at) return false;
    }
    const bool ok = os.ReadFile(file_, into, size, got);
    filePointerKnown_ = ok;
    filePointer_ = at + *got;
    return ok;
}

bool FileReadCache::FillWindow() {
    // The window of windowSize_ bytes around position_, never beyond the
    // read limit.
    const uint64_t start = position_ - position_ % windowSize_;
    uint32_t fill = windowSize_;
    if (limit_ != 0) {
        if (position_ >= limit_) return false;
        if (limit_ - start < fill) fill = static_cast<uint32_t>(limit_ - start);
    }
    const uint32_t index = LeastRecentlyUsed(start);
    Window& w = windows_[index];
    w.length = 0;
    uint32_t got = 0;
    if (!ReadSystem(start, buffer_ + index * windowSize_, fill, &got)) return false;
    w.start = start;
    w.length = got;
    w.lastUse = ++useClock_;
    recent_ = index;
    return start + got > position_;  // else the end of the file
}

bool FileReadCache::Read(void* buffer, uint32_t size) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    // Only positions that Seek accepted, or that reads reached from them, get
    // here; a read that would start beyond 2^31 fails like a seek there.
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
        if (size >= windowSize_) {
            // Large reads (and every read without a buffer) go straight to
            // the caller.
            uint32_t got = 0;
            if (!ReadSystem(position_, out, size, &got)) return false;
            position_ += got;
            return got == size;
        }
        if (!FillWindow()) return false;
    }
    return true;
}

bool FileReadCache::Peek(uint32_t size, const uint8_t** data) {
    *data = nullptr;
    Window* w = WindowHolding(position_);
    if (w == nullptr) {
        if (size == 0 || size >= windowSize_) return true;
        if (!FillWindow()) return false;
        w = WindowHolding(position_);
    }
    const uint32_t offset = static_cast<uint32_t>(position_ - w->start);
    if (w->length - offset < size) return true;
    *data = buffer_ + (w - windows_) * windowSize_ + offset;
    w->lastUse = ++useClock_;
    position_ += size;
    return true;
}

// ---- FileWriteBuffer --------------------------------------------------------

FileWriteBuffer::FileWriteBuffer(FileHandle file, HeapHandle heap, uint32_t capacity,
                                 uint64_t expectedSize)
    : file_(file),
      heap_(heap),
      buffer_(TakeBuffer(heap, capacity)),
      capacity_(capacity),
      expectedSize_(expectedSize) {
    if (buffer_ == nullptr) capacity_ = 0;
}

FileWriteBuffer::FileWriteBuffer(Md5Context* digest, HeapHandle heap, uint32_t capacity)
    : FileWriteBuffer(kInvalidFile, heap, capacity) {
    digest_ = digest;
}

FileWriteBuffer::~FileWriteBuffer() {
    if (buffer_ != nullptr) TheOs().HeapFree(heap_, buffer_);
}

bool FileWriteBuffer::WriteThrough(const void* data, uint32_t size) {
    if (digest_ != nullptr) {
        Md5Update(digest_, data, size);
        return true;
    }
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
    accepted_ += size;
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
    accepted_ += size;
    return used_ < capacity_ || Flush();
}

bool FileWriteBuffer::GrowTo(uint64_t size) {
    if (digest_ == nullptr && !TheOs().SetFileSize(file_, size)) return false;
    secured_ = size;
    return true;
}

void FileWriteBuffer::BeginRange(uint32_t size) {
    if (writeBehind_ && !SecureSpace(size)) writeBehind_ = false;
}

bool FileWriteBuffer::SecureSpace(uint32_t size) {
    if (failed_) return false;
    const uint64_t need = accepted_ + size;
    if (need <= secured_) return true;
    uint64_t ahead = secured_ == 0 ? expectedSize_ : secured_ + secured_ / 4;
    if (ahead < need) ahead = need;
    // Growing far ahead may ask for more than the disk has while the file
    // itself would fit: then only what is needed is asked for.
    return GrowTo(ahead) || (ahead > need && GrowTo(need));
}

void FileWriteBuffer::DropAfter(uint64_t accepted) {
    if (accepted >= accepted_) return;
    const uint64_t drop = accepted_ - accepted;
    const uint32_t dropped = drop < used_ ? static_cast<uint32_t>(drop) : used_;
    used_ -= dropped;
    accepted_ -= dropped;
}

bool FileWriteBuffer::Finish(bool complete) {
    const bool flushed = Flush();
    bool cut = true;
    if (secured_ > accepted_) {
        cut = digest_ != nullptr || TheOs().SetFileSize(file_, accepted_);
        if (cut) secured_ = accepted_;
    }
    return flushed && (cut || !complete);
}

}  // namespace kzp
