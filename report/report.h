// Usage reports as the job and the dialog use them.
#ifndef LV_REPORT_REPORT_H
#define LV_REPORT_REPORT_H

#include <windows.h>

#include "job/result_codes.h"

// User agent of the job's start and result reports. A constant of its own,
// not the catalogue's IDS_AGENT, although this build gives both the same text.
extern const char REPORT_AGENT[];

// Compose into a buffer of REPORT_URL_SIZE bytes and return the buffer, so
// that the call can stand as the URL argument of SendReport.
char* BuildStartReportUrl(char* buffer);
char* BuildResultReportUrl(char* buffer, ResultCode code, DWORD bytes, DWORD seconds,
                           const char* server, const char* object);

// One blocking HTTP/1.0 GET of the report URL; the answer is read and
// discarded. Fire and forget: nothing of the outcome leaves this call.
void SendReport(const char* agent, const char* url);

// The report sent when the user closes the dialog window: code 123, byte
// count 0, the seconds since the latest job started. Sends nothing when a
// catalogue text is missing.
void SendCancelReport();

#endif
