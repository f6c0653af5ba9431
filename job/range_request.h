// What a build that resumes downloads says and expects about byte ranges,
// free of Windows so that it is tested and fuzzed natively.
#ifndef LV_JOB_RANGE_REQUEST_H
#define LV_JOB_RANGE_REQUEST_H

#include <stdint.h>

// A validator longer than this, with its terminator, cannot be read: the
// file is then not kept for resuming.
#define VALIDATOR_SIZE 128

// "Range: bytes=" 10 digits "-\r\nIf-Range: " validator "\r\n", terminated.
#define RANGE_HEADERS_SIZE (13 + 10 + 13 + VALIDATOR_SIZE - 1 + 2 + 1)

// "bytes " and three numbers of up to 10 digits with "-" and "/", terminated:
// also the room in which a longer Content-Range cannot be read.
#define CONTENT_RANGE_SIZE (6 + 3 * 10 + 2 + 1)

// Writes the request's extra headers that ask for the bytes from `from` to
// the end, only while the file still has `validator`; terminated. Returns
// their length.
uint32_t ComposeRangeHeaders(char* buffer, uint32_t from, const char* validator);

// Writes the Content-Range of the one answer that continues a file of
// `whole` bytes (whole > first) from `first`: "bytes FIRST-LAST/WHOLE",
// terminated. A continuation is taken only when its header is exactly this.
void ComposeContentRange(char* buffer, uint32_t first, uint32_t whole);

// Whether an ETag is strong: quoted, not marked weak ("W/"). Only a strong
// one promises the same bytes.
bool IsStrongEtag(const char* etag);

// Whether two terminated texts are the same, byte for byte.
bool SameText(const char* a, const char* b);

#endif
