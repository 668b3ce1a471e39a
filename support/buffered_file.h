// Buffers beneath the small reads and writes of the engine.
//
// The engine reads old files in 512-byte chunks or at scattered offsets and
// writes new files a block or a short range at a time. These two classes turn
// that into large calls to the system without changing what the engine sees:
// a read still delivers exactly the bytes asked for or fails, a write still
// fails when the system refuses the bytes (at the latest when the buffer is
// flushed), and positions are those of the file.
//
// Buffers come from the given heap. When one cannot be had the class passes
// every call straight through, so memory shortage costs speed, never a result.
#pragma once

#include <stdint.h>

#include "platform/os.h"
#include "support/md5.h"

namespace kzp {

// Read-ahead size for old files, shared by windows of 8 KiB: the short
// copies of a program's update jump about the old file and come back to
// where they were, and each window that stays saves a call of the system.
// On updates of a 12 MB program, 3 MiB miss a quarter to a third as often as
// 128 KiB; larger windows cost more copying than the calls they save.
#ifndef KZP_READ_CACHE_SIZE
#define KZP_READ_CACHE_SIZE (3072u * 1024u)
#endif
#ifndef KZP_READ_CACHE_WINDOWS
#define KZP_READ_CACHE_WINDOWS 384u
#endif

// Write buffer size for new files. Together with the read cache, the
// package's buffer and one block, an update stays under 4 MiB.
#ifndef KZP_WRITE_BUFFER_SIZE
#define KZP_WRITE_BUFFER_SIZE (128u * 1024u)
#endif

// Reads one file (opened for reading, not written meanwhile) through
// read-ahead windows.
class FileReadCache {
  public:
    // `capacity` 0 reads straight through. The buffer is cut into `windows`
    // windows (at most KZP_READ_CACHE_WINDOWS, a multiple of 4 above 4): one
    // for a file read front to back, several for reads that jump about.
    FileReadCache(FileHandle file, HeapHandle heap, uint32_t capacity,
                  uint32_t windows = KZP_READ_CACHE_WINDOWS);
    ~FileReadCache();
    FileReadCache(const FileReadCache&) = delete;
    FileReadCache& operator=(const FileReadCache&) = delete;

    // Like SetFilePointer from the file's beginning with a signed 32-bit
    // distance: positions above 0x7FFFFFFF fail, positions beyond the end
    // succeed (the next read then falls short).
    bool Seek(uint32_t position);
    // True only when exactly `size` bytes were read from the current position.
    bool Read(void* buffer, uint32_t size);
    // The next `size` bytes where a window holds them whole, without a copy:
    // *data points at them and the position moves on. *data stays nullptr,
    // and nothing moves, when they lie otherwise (Read them then). False
    // when the read the bytes needed failed or fell short, like Read.
    bool Peek(uint32_t size, const uint8_t** data);
    // Limits each read of the system to the bytes below `end` (0: no limit),
    // so that a file is never read beyond the size its reader was told.
    void SetReadLimit(uint64_t end) { limit_ = end; }
    // Tells where the system's file pointer stands (a handle just opened
    // stands at 0), so that reading from there needs no seek. Without it the
    // first read seeks.
    void SetFilePointerKnown(uint64_t position) {
        filePointer_ = position;
        filePointerKnown_ = true;
    }

  private:
    // Reads at `at`: a plain read where the file pointer already stands,
    // elsewhere a positioned read, or a seek and a read where the system
    // refuses positioned reads.
    bool ReadSystem(uint64_t at, void* into, uint32_t size, uint32_t* got);
    // Reads the window that holds position_; false when that fails or the
    // file ends before position_.
    bool FillWindow();

    // Windows start at multiples of their size; each start may sit in one
    // set of kWays windows, the least recently used of which gives way.
    static constexpr uint32_t kWays = 4;
    struct Window {
        uint64_t start;   // file position of its first byte
        uint32_t length;  // bytes it holds (0: none)
        uint32_t lastUse;
    };
    Window* WindowHolding(uint64_t position);
    uint32_t SetOf(uint64_t start) const;
    uint32_t LeastRecentlyUsed(uint64_t start) const;

    FileHandle file_;
    HeapHandle heap_;
    uint8_t* buffer_;
    // The buffer is cut into windowCount_ windows of windowSize_ bytes each,
    // in sets of ways_.
    uint32_t windowCount_;
    uint32_t windowSize_;
    uint32_t ways_;
    Window windows_[KZP_READ_CACHE_WINDOWS] = {};
    uint32_t useClock_ = 0;
    uint32_t recent_ = 0;       // the window of the last read
    uint64_t position_ = 0;     // where the next read starts
    uint64_t filePointer_ = 0;  // where the system's file pointer stands
    bool filePointerKnown_ = false;
    uint64_t limit_ = 0;
    // False on the 9x family, whose ReadFile takes no offset for disk files.
    // The cache asks the seam's GetVersion instead of leaving the choice to
    // the Win32 side of the seam: each seam method stays the one call it
    // mirrors, and the choice is made in every build, so the tests' seam can
    // describe a 9x system that refuses positioned reads and show that an
    // update with copies still works there.
    bool positionedReads_;
};

// Writes one file front to back through a buffer.
class FileWriteBuffer {
  public:
    // `capacity` 0 writes straight through. `expectedSize` is what the file
    // will likely hold in the end: the first space taken ahead (see below).
    FileWriteBuffer(FileHandle file, HeapHandle heap, uint32_t capacity, uint64_t expectedSize = 0);
    // Writes no file: every byte that would reach the file goes into
    // `digest` instead, and space is always there. For learning what a
    // writer would write (its MD5) without writing it.
    FileWriteBuffer(Md5Context* digest, HeapHandle heap, uint32_t capacity);
    // Frees the buffer without writing it: call Flush first.
    ~FileWriteBuffer();
    FileWriteBuffer(const FileWriteBuffer&) = delete;
    FileWriteBuffer& operator=(const FileWriteBuffer&) = delete;

    // False when the bytes, or bytes buffered before them, could not be
    // written in full. After a failure every call fails.
    bool Write(const void* data, uint32_t size);
    // Writes what is buffered. False on failure (also an earlier one).
    bool Flush();

    // Lets a reader fill the buffer in place instead of handing over bytes
    // that Write would copy: Room gives the free space (nullptr and 0 without
    // a buffer or after a failure), Commit adds the first `size` bytes of it
    // to what is buffered.
    uint8_t* Room(uint32_t* size);
    bool Commit(uint32_t size);

    // Space taken ahead. A buffered write is refused, if at all, only when
    // the buffer is flushed; on a full disk that is too late for a caller
    // that must learn of a refusal at the write that caused it. Such a caller
    // hands its bytes over in ranges, each of which counts as written once
    // EndRange returns true. BeginRange takes the range's space ahead: the
    // file is grown beyond it (to at least the expected size at first, then
    // by a quarter at a time), and writes within its size cannot be refused
    // for want of space, so the range may stay buffered. Where the space
    // cannot be had, from then on EndRange writes each range in one call.
    void BeginRange(uint32_t size);
    bool EndRange() { return writeBehind_ || Flush(); }
    // The space for `size` more bytes, as BeginRange takes it; false when it
    // cannot be had.
    bool SecureSpace(uint32_t size);
    // Bytes handed over so far, written or buffered.
    uint64_t Accepted() const { return accepted_; }
    // Forgets buffered bytes beyond the first `accepted` handed over (those
    // of a range that was cut short), as far as they are still buffered.
    void DropAfter(uint64_t accepted);
    // Ends the file, however its writer ended: flushes what was accepted and
    // gives back the space taken ahead beyond it, so that the file ends where
    // its bytes do. False when the flush is refused (a write the caller
    // counted as done failed), or, for a `complete` file, when it cannot be
    // cut back (it would not be what was written).
    bool Finish(bool complete);

  private:
    bool WriteThrough(const void* data, uint32_t size);
    bool GrowTo(uint64_t size);

    FileHandle file_;
    Md5Context* digest_ = nullptr;  // instead of the file, when set
    HeapHandle heap_;
    uint8_t* buffer_;
    uint32_t capacity_;
    uint32_t used_ = 0;
    bool failed_ = false;
    uint64_t accepted_ = 0;
    uint64_t expectedSize_;
    uint64_t secured_ = 0;     // the file's size once grown ahead; 0: not grown
    bool writeBehind_ = true;  // while ranges' space is taken ahead
};

}  // namespace kzp
