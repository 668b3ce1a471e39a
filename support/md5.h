// MD5 message digest (RFC 1321).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kzp {

struct Md5Context {
    uint32_t state[4];
    uint32_t count[2];  // message length in bits, low word first
    uint8_t buffer[64];
};

constexpr size_t kMd5DigestSize = 16;

void Md5Init(Md5Context* context);
void Md5Update(Md5Context* context, const void* data, uint32_t length);
// Writes the 16-byte digest and wipes the context.
void Md5Final(uint8_t digest[16], Md5Context* context);

// Digest of one piece of memory.
void Md5Digest(const void* data, uint32_t length, uint8_t digest[16]);

bool DigestsEqual(const uint8_t a[16], const uint8_t b[16]);

}  // namespace kzp
