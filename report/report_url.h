// Composition of the usage report URLs, byte for byte, free of Windows.
//
// Piece writers copy one piece to the destination and return how many
// characters they wrote; they never write a terminator. The composers write
// the pieces at a running offset and one terminator at the end. No piece
// writer tests the buffer's end: the bound follows from the inputs (see
// REPORT_URL_SIZE).
#ifndef LV_REPORT_REPORT_URL_H
#define LV_REPORT_REPORT_URL_H

#include <stdint.h>

// Every report fits into this many bytes, terminator included, as long as
// the report host has at most REPORT_HOST_MAX characters and the download
// host and object texts at most 259 each.
#define REPORT_URL_SIZE 1024
#define REPORT_HOST_MAX 150

struct OsVersion {
    uint32_t major;
    uint32_t minor;
    uint32_t platformId;   // 2 is the NT line; anything else counts as the consumer line
};

int CopyText(char* destination, const char* source);

// Plain decimal digits of the unsigned 32-bit value: 1 to 10 characters.
int FormatDecimal(char* destination, uint32_t value);

// "&osversion=" major "." minor "&os=" then "nt" or "win": 20 to 39 characters.
int AppendOsInfo(char* destination, const OsVersion* os);

char* ComposeStartReportUrl(char* buffer, const char* reportHost, const OsVersion* os);

// bytes before seconds among the arguments; the URL carries the seconds first.
char* ComposeResultReportUrl(char* buffer, const char* reportHost, uint32_t code,
                             uint32_t bytes, uint32_t seconds, const char* server,
                             const char* object, const OsVersion* os);

// The path and query of a composed report URL ("/foo.bar?..."): what is
// requested from the report host once connected to it.
const char* ReportUrlPath(const char* url);

#endif
