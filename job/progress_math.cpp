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

uint32_t ExpectedTotal(const char* headerText)
{
    return headerText ? ParseContentLength(headerText) : FALLBACK_TOTAL_BYTES;
}

uint32_t ChannelPercent(uint32_t bytes, uint32_t total)
{
    if (total == 0 || bytes >= total)
        return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(bytes) * 100u / total);
}

bool BarPosition(uint32_t bytes, uint32_t total, uint32_t* position)
{
    if (total == 0 || bytes > total)
        return false;
    *position = static_cast<uint32_t>(static_cast<uint64_t>(bytes) * 100u / total);
    return true;
}

uint32_t ElapsedSeconds(uint32_t nowTick, uint32_t startTick)
{
    // Unsigned subtraction wraps, which is what a tick count that passed
    // 2^32 needs.
    return (nowTick - startTick) / 1000u;
}
