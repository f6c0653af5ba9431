#include "job/range_request.h"

static uint32_t CopyText(char* destination, const char* text)
{
    uint32_t count = 0;
    while (text[count] != '\0') {
        destination[count] = text[count];
        ++count;
    }
    return count;
}

static uint32_t WriteDecimal(char* destination, uint32_t value)
{
    char digits[10];
    uint32_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (uint32_t i = 0; i < count; ++i)
        destination[i] = digits[count - 1 - i];
    return count;
}

uint32_t ComposeRangeHeaders(char* buffer, uint32_t from, const char* validator)
{
    uint32_t length = CopyText(buffer, "Range: bytes=");
    length += WriteDecimal(buffer + length, from);
    length += CopyText(buffer + length, "-\r\nIf-Range: ");
    length += CopyText(buffer + length, validator);
    length += CopyText(buffer + length, "\r\n");
    buffer[length] = '\0';
    return length;
}

bool IsStrongEtag(const char* etag)
{
    if (etag[0] != '"')
        return false;
    uint32_t length = 1;
    while (etag[length] != '\0')
        ++length;
    return length >= 2 && etag[length - 1] == '"';
}

// Reads digits up to `end`, below 2^32; advances *text past `end`.
static bool ReadNumber(const char** text, char end, uint32_t* value)
{
    const char* at = *text;
    uint32_t number = 0;
    if (*at < '0' || *at > '9')
        return false;
    for (; *at >= '0' && *at <= '9'; ++at) {
        uint32_t digit = static_cast<uint32_t>(*at - '0');
        if (number > (0xFFFFFFFFu - digit) / 10u)
            return false;
        number = number * 10u + digit;
    }
    if (*at != end)
        return false;
    *text = at + (end != '\0');
    *value = number;
    return true;
}

bool ParseContentRange(const char* text, uint32_t* first, uint32_t* last, uint32_t* whole)
{
    static const char UNIT[] = "bytes ";
    for (uint32_t i = 0; UNIT[i] != '\0'; ++i)
        if (text[i] != UNIT[i])
            return false;
    text += sizeof UNIT - 1;
    return ReadNumber(&text, '-', first) && ReadNumber(&text, '/', last) &&
           ReadNumber(&text, '\0', whole) && *first <= *last && *last < *whole;
}
