// Constant texts of the download request, shared with the report requests.
#ifndef LV_JOB_HTTP_TEXTS_H
#define LV_JOB_HTTP_TEXTS_H

extern const char HTTP_VERB_GET[];      // "GET"
extern const char HTTP_VERSION_1_0[];   // "HTTP/1.0"
extern const char EMPTY_TEXT[];         // user name and password of every connection

#endif
