#include <windows.h>
#include <wininet.h>

#include "job/download_job.h"
#include "job/system_dlls.h"
#include "job/http_texts.h"
#include "job/progress_math.h"
#include "report/report.h"
#include "report/report_url.h"
#include "lv_config.h"
#ifdef LV_HTTPS
#include "job/redirect_location.h"
#endif

volatile DWORD g_jobStartTick;   // zero until the first attempt starts

const char HTTP_VERB_GET[] = "GET";
const char HTTP_VERSION_1_0[] = "HTTP/1.0";
const char EMPTY_TEXT[] = "";

static const char TEMP_FILE_PREFIX[] = "TLV";

#ifdef LV_HTTPS
// The longest URL the HTTP layer takes, and its terminator.
static const DWORD LOCATION_BUFFER_SIZE = INTERNET_MAX_URL_LENGTH + 1;

// 0 when the answer has no readable status.
static DWORD StatusOf(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!g_winInet.HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                  &status, &size, NULL))
        return 0;
    return status;
}

// NB: Wine answers SECURITY_FLAG_SECURE only while the request holds its
// connection, which it gives back as soon as an answer's body is complete:
// there an answer without a body reads as not secure, and is refused too.
static bool CameOverTls(HINTERNET request)
{
    DWORD flags = 0;
    DWORD size = sizeof flags;
    return g_winInet.InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags,
                                          &size) &&
           (flags & SECURITY_FLAG_SECURE) != 0;
}

// A Location longer than the buffer cannot be read, and is not followed.
static bool ReadLocation(HINTERNET request, char* location)
{
    DWORD size = LOCATION_BUFFER_SIZE;
    return g_winInet.HttpQueryInfoA(request, HTTP_QUERY_LOCATION, location, &size, NULL) !=
           FALSE;
}
#endif

#ifndef LV_RESUME
// The plain request: no extra headers, the platform's time limits. A build
// that resumes downloads sends its own (job/resume.cpp).
#define SendDownloadRequest(request) g_winInet.HttpSendRequestA(request, NULL, 0, NULL, 0)
#endif

// A missing text leaves its buffer empty, so that a report composed from it
// stays well formed.
static bool LoadCatalogueText(HMODULE module, UINT id, char* buffer, int capacity)
{
    if (LoadStringA(module, id, buffer, capacity) != 0)
        return true;
    buffer[0] = '\0';
    return false;
}

DWORD WINAPI DownloadThread(LPVOID dialogWindow)
{
    HWND dialog = static_cast<HWND>(dialogWindow);
    char agent[32];
    char server[MAX_PATH];
    char object[MAX_PATH];
    char tempDirectory[MAX_PATH];
    char tempName[MAX_PATH];
    char report[REPORT_URL_SIZE];
    HINTERNET root = NULL;
    HINTERNET connection = NULL;
    HINTERNET request = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD bytes = 0;
    ResultCode result = RESULT_SUCCESS;

    // 1. The start tick, shared with the cancel report.
    DWORD startTick = GetTickCount();
    g_jobStartTick = startTick;

    // 2. The start report goes out before anything else.
    SendReport(REPORT_AGENT, BuildStartReportUrl(report));

    // 3. Configuration. Texts whose load is never reached stay empty for
    // the result report.
    server[0] = '\0';
    object[0] = '\0';
    tempName[0] = '\0';
    HMODULE module = GetModuleHandleA(NULL);
    if (!LoadCatalogueText(module, IDS_AGENT, agent, sizeof agent) ||
        !LoadCatalogueText(module, IDS_SERVER, server, sizeof server) ||
        !LoadCatalogueText(module, IDS_OBJECT, object, sizeof object))
        result = IDS_ERR_NO_STRING;

    // 4. The download request. Its HTTP status is not examined (an HTTPS
    // build looks only for redirects): whatever body arrives is what is
    // downloaded. Without WININET the attempt fails here, as if the
    // connection had.
    if (result == RESULT_SUCCESS) {
        if (g_winInet.InternetOpenA)
            root = g_winInet.InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
#ifdef LV_HTTPS
        // Over TLS on port 443, following redirects here: only to https://
        // addresses, and at most MAX_REDIRECTS in a row. Anything else ends
        // in 114 before a request goes to the address named. The host and
        // path of a redirect point into the Location buffer, which the next
        // connection and request have copied before it is read again.
        const char* host = server;
        INTERNET_PORT port = INTERNET_DEFAULT_HTTPS_PORT;
        const char* path = object;
        char* location = NULL;
        for (int redirects = 0;; ++redirects) {
            if (root)
                connection = g_winInet.InternetConnectA(root, host, port, EMPTY_TEXT, EMPTY_TEXT,
                                                        INTERNET_SERVICE_HTTP, 0, 0);
            if (connection)
                request = g_winInet.HttpOpenRequestA(connection, HTTP_VERB_GET, path,
                                                     HTTP_VERSION_1_0, NULL, NULL,
                                                     SECURE_REQUEST_FLAGS, 0);
            if (!request || !SendDownloadRequest(request)) {
                result = IDS_ERR_NETWORK;
                break;
            }
            // A redirect's body is never used, and under Wine most of them
            // have none to hold the connection: only the answer whose body
            // is downloaded is asked whether it came over TLS.
            if (!IsFollowedRedirect(StatusOf(request))) {
                if (!CameOverTls(request))
                    result = IDS_ERR_NETWORK;
                break;
            }
            if (redirects == MAX_REDIRECTS) {
                result = IDS_ERR_NETWORK;
                break;
            }
            if (!location)
                location = static_cast<char*>(GlobalAlloc(GMEM_FIXED, LOCATION_BUFFER_SIZE));
            if (!location) {
                result = IDS_ERR_NO_MEMORY;
                break;
            }
            if (!ReadLocation(request, location) ||
                !SplitHttpsLocation(location, &host, &port, &path)) {
                result = IDS_ERR_NETWORK;
                break;
            }
            g_winInet.InternetCloseHandle(request);
            request = NULL;
            g_winInet.InternetCloseHandle(connection);
            connection = NULL;
        }
        if (location)
            GlobalFree(location);
#else
        if (root)
            connection = g_winInet.InternetConnectA(root, server, INTERNET_INVALID_PORT_NUMBER,
                                                    EMPTY_TEXT, EMPTY_TEXT,
                                                    INTERNET_SERVICE_HTTP, 0, 0);
        if (connection)
            request = g_winInet.HttpOpenRequestA(connection, HTTP_VERB_GET, object,
                                                 HTTP_VERSION_1_0, NULL, NULL,
                                                 INTERNET_FLAG_NO_CACHE_WRITE, 0);
        if (!request || !SendDownloadRequest(request))
            result = IDS_ERR_NETWORK;
#endif
#ifdef LV_RESUME
        if (result == RESULT_SUCCESS)
            result = AcceptDownloadAnswer(request);
#endif
    }

    // 5. The temporary file. GetTempFileNameA creates it empty, so from then
    // on step 9 has a file to delete even when CreateFileA refuses it.
#ifdef LV_RESUME
    // A 206 continues the kept file, opened for reading too: a pinned
    // digest covers the kept part.
    if (result == RESULT_SUCCESS && TakeKeptFile(tempName)) {
        file = CreateFileA(tempName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_TEMPORARY, NULL);
        if (file == INVALID_HANDLE_VALUE)
            result = IDS_ERR_CREATE_TEMP;
    } else
#endif
    if (result == RESULT_SUCCESS) {
        DWORD length = GetTempFolder(tempDirectory);
        if (length == 0 || length > MAX_PATH ||
            GetTempFileNameA(tempDirectory, TEMP_FILE_PREFIX, 0, tempName) == 0) {
            tempName[0] = '\0';
            result = IDS_ERR_CREATE_TEMP;
        } else {
            file = CreateFileA(tempName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_TEMPORARY, NULL);
            if (file == INVALID_HANDLE_VALUE)
                result = IDS_ERR_CREATE_TEMP;
        }
    }

    // 6. The transfer.
    if (result == RESULT_SUCCESS)
        result = TransferToFile(dialog, request, file, &bytes);

    // 7. Nothing stays open while the installer runs.
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (request)
        g_winInet.InternetCloseHandle(request);
    if (connection)
        g_winInet.InternetCloseHandle(connection);
    if (root)
        g_winInet.InternetCloseHandle(root);

#ifdef LV_INSTALLER_SIGNER
    // The publisher check reads the whole file again, now that it is
    // closed; a file it refuses is neither announced nor run.
    if (result == RESULT_SUCCESS)
        result = CheckPublisher(tempName);
#endif

    // 8. The installer, and after its success the redirect page.
    if (result == RESULT_SUCCESS) {
        SendMessageA(dialog, WMU_INSTALLING, 0, 0);
        result = RunInstaller(tempName);
        if (result == RESULT_SUCCESS)
            LaunchRedirectPage();
    }

    // 9. The installer file never outlives an attempt that runs to its end,
    // but for one that broke off in a build that resumes downloads.
    if (tempName[0] != '\0'
#ifdef LV_RESUME
        && !KeepForResume(result, bytes, tempName)
#endif
    )
        DeleteFileA(tempName);

    // 10 and 11. The result report covers the whole attempt, start report
    // and installer included.
    DWORD seconds = ElapsedSeconds(GetTickCount(), startTick);
    SendReport(REPORT_AGENT,
               BuildResultReportUrl(report, result, bytes, seconds, server, object));

    // 12 and 13. Always the last event.
    SendMessageA(dialog, WMU_FINISHED, result, 0);
    return result;
}
