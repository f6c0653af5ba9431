#include "job/progress_math.h"

uint32_t ParseContentLength(const char* text)
{
    uint32_t total = 0;
    for (int i = 0; i < CONTENT_LENGTH_TEXT_SIZE && text[i] != '\0'; ++i) {
        // The character is taken as a signed byte on purpose: the rule is
        // defined that way for every byte, digit or not.
        int32_t code = static_cast<signed char>(text[i]);
        total = total * 10u + static_cast<uint32_t>(code - 48);
    }
    return total;
}

bool IsUsableContentLength(const char* text)
{
    uint32_t value = 0;
    int i = 0;
    for (; i < CONTENT_LENGTH_TEXT_SIZE && text[i] != '\0'; ++i) {
        uint32_t digit = static_cast<uint32_t>(text[i] - '0');
        if (digit > 9 || value > (0xFFFFFFFFu - digit) / 10u)
            return false;
        value = value * 10u + digit;
    }
    return i != 0;
}

uint32_t ExpectedTotal(const char* headerText)
{
    return headerText ? ParseContentLength(headerText) : FALLBACK_TOTAL_BYTES;
}

// floor(bytes * 100 / total) for 0 < total and bytes <= total, exact for
// every 32-bit count. The quotient is at most 100, so it is found bit by bit
// from exact 64-bit products: this needs no 64-bit division routine, which
// a program without a C runtime would otherwise have to carry.
static uint32_t HundredthsOf(uint32_t bytes, uint32_t total)
{
    uint64_t scaled = static_cast<uint64_t>(bytes) * 100u;
    uint32_t quotient = 0;
    for (uint32_t bit = 64; bit != 0; bit >>= 1) {
        if (static_cast<uint64_t>(quotient + bit) * total <= scaled)
            quotient += bit;
    }
    return quotient;
}

uint32_t ChannelPercent(uint32_t bytes, uint32_t total)
{
    if (total == 0 || bytes >= total)
        return 0;
    return HundredthsOf(bytes, total);
}

bool BarPosition(uint32_t bytes, uint32_t total, uint32_t* position)
{
    if (total == 0 || bytes > total)
        return false;
    *position = HundredthsOf(bytes, total);
    return true;
}

uint32_t ElapsedSeconds(uint32_t nowTick, uint32_t startTick)
{
    // Unsigned subtraction wraps, which is what a tick count that passed
    // 2^32 needs.
    return (nowTick - startTick) / 1000u;
}
