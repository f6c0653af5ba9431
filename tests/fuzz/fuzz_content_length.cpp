// The Content-Length rule on any header text the HTTP layer can hand back:
// at most 32 bytes, terminated when shorter.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "job/progress_math.h"

// The rule worked out in 64 bits and reduced at the end: each character adds
// its signed code less 48 to ten times the total.
static uint32_t ReferenceTotal(const unsigned char* bytes, size_t count)
{
    uint64_t total = 0;
    for (size_t i = 0; i < count && bytes[i] != 0; ++i) {
        int64_t code = bytes[i] < 128 ? bytes[i] : static_cast<int64_t>(bytes[i]) - 256;
        total = (total * 10 + static_cast<uint64_t>(code - 48)) & 0xFFFFFFFFu;
    }
    return static_cast<uint32_t>(total);
}

// Digits only, at least one, and a value that never leaves 32 bits.
static bool ReferenceUsable(const unsigned char* bytes, size_t count)
{
    uint64_t value = 0;
    size_t i = 0;
    for (; i < count && bytes[i] != 0; ++i) {
        if (bytes[i] < '0' || bytes[i] > '9')
            return false;
        value = value * 10 + (bytes[i] - '0');
        if (value > 0xFFFFFFFFu)
            return false;
    }
    return i != 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t count = size < CONTENT_LENGTH_TEXT_SIZE ? size : CONTENT_LENGTH_TEXT_SIZE;
    // Exactly the header buffer's size on the heap: a read past it is caught.
    std::unique_ptr<char[]> text(new char[CONTENT_LENGTH_TEXT_SIZE]);
    memcpy(text.get(), data, count);
    if (count < CONTENT_LENGTH_TEXT_SIZE)
        text[count] = '\0';

    uint32_t expected = ReferenceTotal(reinterpret_cast<const unsigned char*>(text.get()), count);
    if (ParseContentLength(text.get()) != expected || ExpectedTotal(text.get()) != expected)
        abort();
    if (IsUsableContentLength(text.get()) !=
        ReferenceUsable(reinterpret_cast<const unsigned char*>(text.get()), count))
        abort();

    // The arithmetic that uses the total: the channel never reaches 100 and
    // the bar never passes it.
    uint32_t bytes = 0;
    if (size >= 36)
        memcpy(&bytes, data + 32, sizeof bytes);
    uint32_t percent = ChannelPercent(bytes, expected);
    uint32_t exactPercent =
        bytes < expected ? static_cast<uint32_t>(static_cast<uint64_t>(bytes) * 100 / expected) : 0;
    if (percent != exactPercent || percent > 99)
        abort();
    uint32_t position = 0xFFFFFFFFu;
    bool moves = BarPosition(bytes, expected, &position);
    if (moves != (expected != 0 && bytes <= expected))
        abort();
    if (moves && position != static_cast<uint32_t>(static_cast<uint64_t>(bytes) * 100 / expected))
        abort();
    return 0;
}
