// The redirects that an HTTPS build follows itself, free of Windows so that
// the rule is tested and fuzzed natively.
#ifndef LV_JOB_REDIRECT_LOCATION_H
#define LV_JOB_REDIRECT_LOCATION_H

#include <stdint.h>

// A redirect is followed only to another https:// address, and at most this
// many in a row: the answer to the sixth is a failure.
#define MAX_REDIRECTS 5

// The HTTPS port when a Location names none.
#define HTTPS_DEFAULT_PORT 443

// 301, 302, 303, 307 and 308 are followed; every other status is an answer.
bool IsFollowedRedirect(uint32_t status);

// Splits a redirect's Location in place when it is one the build follows:
// "https://" (in any case), a host of letters, digits, dots and hyphens, an
// optional port of 1 to 65535, then nothing, a fragment, or a path from its
// "/" on, without blanks or control characters. Anything else (another
// scheme, a relative reference, user information, an address in brackets)
// is refused, and the text may then be changed. On success *host is the
// host, terminated, *port the port, and *path the path and query without
// the fragment ("/" when there is none); both point into the text.
bool SplitHttpsLocation(char* location, const char** host, uint16_t* port, const char** path);

#endif
