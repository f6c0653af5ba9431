// Builds that resume downloads (RESUME=ON): an attempt that breaks off keeps
// its file for the next one, which asks only for the bytes still missing.
//
// The kept file is continued only while the server's validator (a strong
// ETag, else Last-Modified) says that it is still the same file: the
// request carries If-Range, so a changed file comes whole as a 200 and goes
// into a new file. A file is never made of two files' bytes, as far as the
// validator can tell them apart.
//
// Attempts never overlap, and the dialog deletes the kept file only after
// the last attempt has finished, so this state needs no lock.
#include <windows.h>
#include <wininet.h>

#include "job/download_job.h"
#include "job/progress_math.h"
#include "job/range_request.h"
#include "job/system_dlls.h"
#include "report/report_url.h"

#ifdef LV_RESUME

// A body that brings no byte for this long breaks off, and can be resumed.
static const DWORD RECEIVE_LIMIT_MS = 60000;

// What an attempt kept for the next: the closed file, what it holds, and
// the validator and size of the whole file. An empty name keeps nothing.
struct KeptDownload {
    char name[MAX_PATH];
    char validator[VALIDATOR_SIZE];
    DWORD keptBytes;
    DWORD wholeSize;
};
static KeptDownload g_kept;

// The attempt under way. Its file may be kept when the answer was a whole
// file with a usable length and a validator, or continued a kept file.
static KeptDownload g_attempt;
static bool g_keepable;
static bool g_appending;

static void CopyTerminated(char* destination, const char* source)
{
    destination[CopyText(destination, source)] = '\0';
}

void DiscardKeptDownload()
{
    if (g_kept.name[0] != '\0')
        DeleteFileA(g_kept.name);
    g_kept.name[0] = '\0';
}

BOOL SendDownloadRequest(HINTERNET request)
{
    DWORD limit = RECEIVE_LIMIT_MS;
    g_winInet.InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &limit, sizeof limit);
    if (g_kept.name[0] == '\0')
        return g_winInet.HttpSendRequestA(request, NULL, 0, NULL, 0);
    char headers[RANGE_HEADERS_SIZE];
    DWORD length = ComposeRangeHeaders(headers, g_kept.keptBytes, g_kept.validator);
    return g_winInet.HttpSendRequestA(request, headers, length, NULL, 0);
}

// A header as text into a buffer of `size`; false when it is missing or
// longer.
static bool ReadHeader(HINTERNET request, DWORD header, char* text, DWORD size)
{
    return g_winInet.HttpQueryInfoA(request, header, text, &size, NULL) != FALSE;
}

// Whether a 200 is a file that can be continued later: a usable length and
// a validator that a later If-Range can hold (a strong ETag, else the
// Last-Modified date).
static bool CanBeContinued(HINTERNET request)
{
    char length[CONTENT_LENGTH_TEXT_SIZE];
    if (!ReadHeader(request, HTTP_QUERY_CONTENT_LENGTH, length, sizeof length) ||
        !IsUsableContentLength(length))
        return false;
    g_attempt.wholeSize = ParseContentLength(length);
    return (ReadHeader(request, HTTP_QUERY_ETAG, g_attempt.validator, VALIDATOR_SIZE) &&
            IsStrongEtag(g_attempt.validator)) ||
           ReadHeader(request, HTTP_QUERY_LAST_MODIFIED, g_attempt.validator, VALIDATOR_SIZE);
}

// Whether a 206 continues the kept file: from its end to the end of the
// whole file, exactly.
static bool ContinuesKeptFile(HINTERNET request)
{
    char range[CONTENT_RANGE_SIZE];
    char expected[CONTENT_RANGE_SIZE];
    if (g_kept.name[0] == '\0' ||
        !ReadHeader(request, HTTP_QUERY_CONTENT_RANGE, range, sizeof range))
        return false;
    ComposeContentRange(expected, g_kept.keptBytes, g_kept.wholeSize);
    return SameText(range, expected);
}

ResultCode AcceptDownloadAnswer(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    g_winInet.HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                             &size, NULL);
    g_appending = status == HTTP_STATUS_PARTIAL_CONTENT && ContinuesKeptFile(request);
    if (g_appending) {
        g_attempt = g_kept;
        g_keepable = true;
        return RESULT_SUCCESS;
    }
    // A whole file (the file changed, or the server ignores ranges) goes
    // into a new file; anything else cannot be told to fit the kept one.
    DiscardKeptDownload();
    if (status != HTTP_STATUS_OK)
        return IDS_ERR_NETWORK;
    g_keepable = CanBeContinued(request);
    return RESULT_SUCCESS;
}

bool TakeKeptFile(char* name)
{
    if (!g_appending)
        return false;
    CopyTerminated(name, g_kept.name);
    g_kept.name[0] = '\0';
    return true;
}

bool ContinuesKeptShare(DWORD* keptBytes, DWORD* wholeSize)
{
    if (!g_appending)
        return false;
    *keptBytes = g_attempt.keptBytes;
    *wholeSize = g_attempt.wholeSize;
    return true;
}

bool KeepForResume(ResultCode result, DWORD bytes, const char* name)
{
    if (result != IDS_ERR_INTERRUPTED || bytes == 0 || !g_keepable)
        return false;
    g_kept = g_attempt;
    CopyTerminated(g_kept.name, name);
    g_kept.keptBytes = bytes;
    return true;
}

#endif
