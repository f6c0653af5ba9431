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

// The scheme and port that open every report URL, and the scheme of the
// download URL in the result report: those the build connects with.
#ifdef LV_HTTPS
#define REPORT_URL_SCHEME "https://"
#define REPORT_URL_PORT ":443"
#else
#define REPORT_URL_SCHEME "http://"
#define REPORT_URL_PORT ":80"
#endif

#define REPORT_HOST_MAX 150

// The language every report names: Windows' primary language id of the
// build's language in decimal, and its ISO 639-1 code in the start report.
// A language build defines both (cmake/language.cmake); English is 9 and en.
#ifndef LV_OSLANGUAGE
#define LV_OSLANGUAGE "9"
#define LV_UILANGUAGE "en"
#endif

// Every report fits into this many bytes, terminator included, as long as
// the report host has at most REPORT_HOST_MAX characters and the download
// host and object texts at most 259 each. The longest report is a success
// with every number ten digits wide: 856 bytes of fixed pieces, digits and
// catalogue texts, the oslanguage value, the scheme twice (report URL and
// download URL), the port and the report host; 1,024 bytes over HTTP with
// a one-digit oslanguage, 1,027 over HTTPS, a byte more for each further
// digit. report_url.cpp checks the sum against its pieces.
#define REPORT_URL_SIZE                                                                   \
    (856 + (sizeof LV_OSLANGUAGE - 1) + 2 * (sizeof REPORT_URL_SCHEME - 1) +              \
     (sizeof REPORT_URL_PORT - 1) + REPORT_HOST_MAX)

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
