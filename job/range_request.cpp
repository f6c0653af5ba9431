#include "job/range_request.h"

#include "report/report_url.h"

uint32_t ComposeRangeHeaders(char* buffer, uint32_t from, const char* validator)
{
    int length = CopyText(buffer, "Range: bytes=");
    length += FormatDecimal(buffer + length, from);
    length += CopyText(buffer + length, "-\r\nIf-Range: ");
    length += CopyText(buffer + length, validator);
    length += CopyText(buffer + length, "\r\n");
    buffer[length] = '\0';
    return static_cast<uint32_t>(length);
}

void ComposeContentRange(char* buffer, uint32_t first, uint32_t whole)
{
    int length = CopyText(buffer, "bytes ");
    length += FormatDecimal(buffer + length, first);
    buffer[length++] = '-';
    length += FormatDecimal(buffer + length, whole - 1);
    buffer[length++] = '/';
    length += FormatDecimal(buffer + length, whole);
    buffer[length] = '\0';
}

bool IsStrongEtag(const char* etag)
{
    if (etag[0] != '"')
        return false;
    int last = 1;
    while (etag[last] != '\0')
        ++last;
    return last >= 2 && etag[last - 1] == '"';
}

bool SameText(const char* a, const char* b)
{
    for (; *a == *b; ++a, ++b)
        if (*a == '\0')
            return true;
    return false;
}
