// Arithmetic of the transfer and the dialog, free of Windows so that it can
// be tested natively.
#ifndef LV_JOB_PROGRESS_MATH_H
#define LV_JOB_PROGRESS_MATH_H

#include <stdint.h>

// Expected total when the response has no usable Content-Length: 4 MiB.
#define FALLBACK_TOTAL_BYTES 4194304u

// Size of the header text that HttpQueryInfoA fills, terminator included.
#define CONTENT_LENGTH_TEXT_SIZE 32

// The Content-Length rule: digits are not checked, so "12a" gives 169, and
// the value wraps modulo 2^32. Reads at most CONTENT_LENGTH_TEXT_SIZE
// characters or up to the terminator.
uint32_t ParseContentLength(const char* text);

// True when the header text is a length that a body can be held to: one or
// more decimal digits and nothing else, with a value below 2^32. The total
// of such a text is its value.
bool IsUsableContentLength(const char* text);

// Expected total of a transfer: the parsed header text, or the fallback
// when the header could not be read (headerText null).
uint32_t ExpectedTotal(const char* headerText);

// Percentage published in the progress channel: 0 to 99, and 0 once the
// counter reaches or passes the total (or when the total is 0).
uint32_t ChannelPercent(uint32_t bytes, uint32_t total);

// Position of the dialog's bar for one progress event. Returns false when
// the event must leave the bar as it is (total 0, or bytes above total).
bool BarPosition(uint32_t bytes, uint32_t total, uint32_t* position);

// Whole seconds between two GetTickCount readings, correct across a wrap.
uint32_t ElapsedSeconds(uint32_t nowTick, uint32_t startTick);

#endif
