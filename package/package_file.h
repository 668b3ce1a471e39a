// The package as the apply thread reads it: the program's own executable,
// read through a read-ahead buffer.
//
// The reader asks for a few bytes at a time (one call per field, one opcode at
// a time, 512-byte chunks for the digest). The buffer turns those into large
// reads of the file without changing what the callers see: every read still
// delivers exactly the bytes asked for or fails, and positions are those of
// the file.
#pragma once

#include <stdint.h>

#include "platform/os.h"

namespace kzp {

constexpr uint32_t kPackageReadAhead = 64 * 1024;
// What is left of a read once the buffer is drained goes straight to the
// caller from this size on: literal data then crosses memory once, not twice.
constexpr uint32_t kPackageDirectRead = 16 * 1024;

class PackageFile {
  public:
    explicit PackageFile(FileHandle file) : file_(file) {}

    FileHandle Handle() const { return file_; }

    // File size as GetFileSize reports it; false on failure or 4 GiB and more.
    bool QuerySize(uint32_t* size);
    // Seeks to an absolute position below 2^31 (the seek distance is a signed
    // 32-bit value); anything else fails.
    bool Seek(uint64_t position);
    // Current position, or kInvalidFileValue when the file pointer is lost.
    uint32_t Tell() const;
    // True only when exactly `size` bytes were read.
    bool Read(void* buffer, uint32_t size);
    // The next `size` bytes where the buffer holds them whole, without a
    // copy: *data points at them and the position moves on. *data stays
    // nullptr, and nothing moves, when they lie otherwise (Read them then).
    // False when the read the bytes needed failed, like Read.
    bool Peek(uint32_t size, const uint8_t** data);
    bool ReadU8(uint8_t* value);
    bool ReadU16(uint16_t* value);
    bool ReadU32(uint32_t* value);
    // Bytes from the current position to the end of the file (0 when the size
    // cannot be had).
    uint32_t Remaining();

  private:
    bool Fill();

    FileHandle file_;
    // Position of buffer_[0] in the file; valid_ bytes from there are held.
    uint32_t bufferStart_ = 0;
    uint32_t valid_ = 0;
    uint32_t offset_ = 0;  // read position inside the buffer
    bool positionKnown_ = true;
    uint32_t size_ = 0;
    bool sizeKnown_ = false;
    uint8_t buffer_[kPackageReadAhead];
};

}  // namespace kzp
