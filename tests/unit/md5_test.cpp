#include <gtest/gtest.h>

#include <string>

#include "support/md5.h"

namespace kzp {
namespace {

std::string Hex(const uint8_t digest[16]) {
    static const char* kDigits = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i) {
        s += kDigits[digest[i] >> 4];
        s += kDigits[digest[i] & 15];
    }
    return s;
}

std::string DigestInChunks(const std::string& text, size_t chunk) {
    Md5Context context;
    Md5Init(&context);
    for (size_t i = 0; i < text.size(); i += chunk) {
        size_t n = std::min(chunk, text.size() - i);
        Md5Update(&context, text.data() + i, static_cast<uint32_t>(n));
    }
    uint8_t digest[16];
    Md5Final(digest, &context);
    return Hex(digest);
}

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, expected] : vectors) {
        uint8_t digest[16];
        Md5Digest(text, static_cast<uint32_t>(std::string(text).size()), digest);
        EXPECT_EQ(Hex(digest), expected) << "for \"" << text << "\"";
    }
}

TEST(Md5, ChunkingDoesNotChangeTheDigest) {
    std::string data;
    for (int i = 0; i < 5000; ++i) data += static_cast<char>((i * 131) ^ (i >> 3));
    const std::string whole = DigestInChunks(data, data.size());
    for (size_t chunk : {1u, 63u, 64u, 65u, 512u}) {
        EXPECT_EQ(DigestInChunks(data, chunk), whole) << "chunk " << chunk;
    }
}

TEST(Md5, FinalWipesTheContextAndEmptyUpdatesChangeNothing) {
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, "abc", 0);
    Md5Update(&context, "abc", 3);
    Md5Update(&context, "", 0);
    uint8_t digest[16];
    Md5Final(digest, &context);
    EXPECT_EQ(Hex(digest), "900150983cd24fb0d6963f7d28e17f72");
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&context);
    for (size_t i = 0; i < sizeof(context); ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

}  // namespace
}  // namespace kzp
