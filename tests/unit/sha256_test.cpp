// SHA-256 of the downloaded installer: the standard test vectors, and the
// same digest however the input is cut into chunks.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "job/sha256.h"

namespace {

std::string Hex(const uint8_t* digest)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        text += DIGITS[digest[i] >> 4];
        text += DIGITS[digest[i] & 15];
    }
    return text;
}

// The digest of `data`, added in pieces of the given sizes (cycled).
std::string Digest(const std::string& data, const std::vector<size_t>& pieces = {})
{
    Sha256 hash;
    Sha256Begin(&hash);
    size_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
        size_t size = pieces.empty() ? data.size() : pieces[i % pieces.size()];
        size = std::min(size, data.size() - at);
        Sha256Add(&hash, data.data() + at, size);
        at += size;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    Sha256End(&hash, digest);
    return Hex(digest);
}

TEST(Sha256, StandardVectors)
{
    EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
                     "klmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(Digest(std::string(1000000, 'a'), {32768}),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, SameDigestWhateverTheChunks)
{
    // Lengths around the padding's edges (55, 56, 63, 64 bytes in the last
    // block) and a body of several transfer chunks.
    for (size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 100000u}) {
        std::string data;
        for (size_t i = 0; i < length; ++i)
            data += static_cast<char>(i * 131 + 7);
        std::string whole = Digest(data);
        for (const std::vector<size_t>& pieces :
             std::vector<std::vector<size_t>>{{1}, {3, 61}, {63}, {64}, {65, 0, 7}, {32768}}) {
            EXPECT_EQ(Digest(data, pieces), whole) << length << " bytes";
        }
    }
}

}  // namespace
