// What a build that resumes downloads says and reads about byte ranges,
// free of Windows so that it is tested and fuzzed natively.
#ifndef LV_JOB_RANGE_REQUEST_H
#define LV_JOB_RANGE_REQUEST_H

#include <stdint.h>

// A validator longer than this, with its terminator, is not kept: the file
// is then not resumed.
#define VALIDATOR_SIZE 128

// "Range: bytes=" 10 digits "-\r\nIf-Range: " validator "\r\n", terminated.
#define RANGE_HEADERS_SIZE (13 + 10 + 13 + VALIDATOR_SIZE - 1 + 2 + 1)

// Writes the request's extra headers that ask for the bytes from `from` to
// the end, only while the file still has `validator`. Returns their length.
uint32_t ComposeRangeHeaders(char* buffer, uint32_t from, const char* validator);

// Whether an ETag is strong: a quoted text, not marked weak ("W/"). Only a
// strong one promises the same bytes.
bool IsStrongEtag(const char* etag);

// Reads a Content-Range of the form "bytes FIRST-LAST/WHOLE" (decimal, no
// blanks but the one after "bytes"), each below 2^32, FIRST <= LAST < WHOLE.
bool ParseContentRange(const char* text, uint32_t* first, uint32_t* last, uint32_t* whole);

#endif
