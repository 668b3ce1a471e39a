#include "support/md5.h"

#include <string.h>

namespace kzp {
namespace {

inline uint32_t RotateLeft(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadLittle32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLittle32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

#define KZP_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define KZP_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define KZP_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define KZP_MD5_STEP(f, a, b, c, d, x, t, s) \
    (a) += f((b), (c), (d)) + (x) + (t);     \
    (a) = RotateLeft((a), (s)) + (b)
// The second round's G(b, c, d) = (b & d) | (c & ~d): the two terms never
// share a bit, so they can be added one at a time, and the one that does not
// need b is added while b is still being computed.
#define KZP_MD5_STEP_G(a, b, c, d, x, t, s) \
    (a) += (x) + (t) + ((c) & ~(d));        \
    (a) += (b) & (d);                       \
    (a) = RotateLeft((a), (s)) + (b)

void Transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLittle32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    KZP_MD5_STEP(KZP_MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
    KZP_MD5_STEP(KZP_MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
    KZP_MD5_STEP(KZP_MD5_F, c, d, a, b, x[2], 0x242070db, 17);
    KZP_MD5_STEP(KZP_MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
    KZP_MD5_STEP(KZP_MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
    KZP_MD5_STEP(KZP_MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
    KZP_MD5_STEP(KZP_MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
    KZP_MD5_STEP(KZP_MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
    KZP_MD5_STEP(KZP_MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
    KZP_MD5_STEP(KZP_MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
    KZP_MD5_STEP(KZP_MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
    KZP_MD5_STEP(KZP_MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
    KZP_MD5_STEP(KZP_MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
    KZP_MD5_STEP(KZP_MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
    KZP_MD5_STEP(KZP_MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
    KZP_MD5_STEP(KZP_MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

    KZP_MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5);
    KZP_MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9);
    KZP_MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14);
    KZP_MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
    KZP_MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5);
    KZP_MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
    KZP_MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14);
    KZP_MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
    KZP_MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5);
    KZP_MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9);
    KZP_MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14);
    KZP_MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20);
    KZP_MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5);
    KZP_MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
    KZP_MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14);
    KZP_MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);

    KZP_MD5_STEP(KZP_MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
    KZP_MD5_STEP(KZP_MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
    KZP_MD5_STEP(KZP_MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
    KZP_MD5_STEP(KZP_MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
    KZP_MD5_STEP(KZP_MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
    KZP_MD5_STEP(KZP_MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
    KZP_MD5_STEP(KZP_MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
    KZP_MD5_STEP(KZP_MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
    KZP_MD5_STEP(KZP_MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
    KZP_MD5_STEP(KZP_MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
    KZP_MD5_STEP(KZP_MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
    KZP_MD5_STEP(KZP_MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
    KZP_MD5_STEP(KZP_MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
    KZP_MD5_STEP(KZP_MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
    KZP_MD5_STEP(KZP_MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
    KZP_MD5_STEP(KZP_MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

    KZP_MD5_STEP(KZP_MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
    KZP_MD5_STEP(KZP_MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
    KZP_MD5_STEP(KZP_MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
    KZP_MD5_STEP(KZP_MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
    KZP_MD5_STEP(KZP_MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
    KZP_MD5_STEP(KZP_MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
    KZP_MD5_STEP(KZP_MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
    KZP_MD5_STEP(KZP_MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
    KZP_MD5_STEP(KZP_MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
    KZP_MD5_STEP(KZP_MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    KZP_MD5_STEP(KZP_MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
    KZP_MD5_STEP(KZP_MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
    KZP_MD5_STEP(KZP_MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
    KZP_MD5_STEP(KZP_MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
    KZP_MD5_STEP(KZP_MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    KZP_MD5_STEP(KZP_MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void Md5Init(Md5Context* context) {
    context->count[0] = context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void Md5Update(Md5Context* context, const void* data, uint32_t length) {
    const uint8_t* input = static_cast<const uint8_t*>(data);
    uint32_t used = (context->count[0] >> 3) & 0x3F;
    uint32_t bitsLow = length << 3;
    context->count[0] += bitsLow;
    if (context->count[0] < bitsLow) ++context->count[1];
    context->count[1] += length >> 29;

    uint32_t space = 64 - used;
    uint32_t i = 0;
    if (length >= space) {
        memcpy(context->buffer + used, input, space);
        Transform(context->state, context->buffer);
        for (i = space; i + 63 < length; i += 64) Transform(context->state, input + i);
        used = 0;
    }
    memcpy(context->buffer + used, input + i, length - i);
}

void Md5Final(uint8_t digest[16], Md5Context* context) {
    uint8_t bits[8];
    StoreLittle32(bits, context->count[0]);
    StoreLittle32(bits + 4, context->count[1]);
    static const uint8_t kPadding[64] = {0x80};
    uint32_t used = (context->count[0] >> 3) & 0x3F;
    uint32_t padLength = (used < 56) ? (56 - used) : (120 - used);
    Md5Update(context, kPadding, padLength);
    Md5Update(context, bits, 8);
    for (int i = 0; i < 4; ++i) StoreLittle32(digest + 4 * i, context->state[i]);
    memset(context, 0, sizeof(*context));
}

void Md5Digest(const void* data, uint32_t length, uint8_t digest[16]) {
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, data, length);
    Md5Final(digest, &context);
}

bool DigestsEqual(const uint8_t a[16], const uint8_t b[16]) {
    return memcmp(a, b, 16) == 0;
}

}  // namespace kzp
