// Constant texts of the download request, shared with the report requests.
#ifndef LV_JOB_HTTP_TEXTS_H
#define LV_JOB_HTTP_TEXTS_H

extern const char HTTP_VERB_GET[];      // "GET"
extern const char HTTP_VERSION_1_0[];   // "HTTP/1.0"
extern const char EMPTY_TEXT[];         // user name and password of every connection

#ifdef LV_HTTPS
// Every request of an HTTPS build, the download's and the reports': TLS,
// not cached, and no redirect followed by the HTTP layer, since Wine's
// follows one from https:// to http:// in clear before the program could
// look at it. No flag that ignores a certificate error is ever set: an
// untrusted, expired or misnamed certificate fails the request.
#define SECURE_REQUEST_FLAGS \
    (INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTO_REDIRECT)
#endif

#endif
