#include <windows.h>
#include <wininet.h>

#include "job/download_job.h"
#include "job/system_dlls.h"
#include "job/http_texts.h"
#include "job/progress_math.h"
#include "lv_config.h"
#include "report/report.h"
#include "report/report_url.h"

const char REPORT_AGENT[] = "Lumenvast Downloader";

static const DWORD ANSWER_BUFFER_SIZE = 32768;

#ifdef LV_HTTPS
static const INTERNET_PORT REPORT_PORT = INTERNET_DEFAULT_HTTPS_PORT;
static const DWORD REPORT_REQUEST_FLAGS = SECURE_REQUEST_FLAGS;
#else
static const INTERNET_PORT REPORT_PORT = INTERNET_DEFAULT_HTTP_PORT;
static const DWORD REPORT_REQUEST_FLAGS = INTERNET_FLAG_NO_CACHE_WRITE;
#endif

void SendReport(const char* agent, const char* url)
{
    if (!g_winInet.InternetOpenA)
        return;     // without WININET no report can go out
    HINTERNET root = g_winInet.InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (!root)
        return;
    // The report host is named bare, with the port as its own argument: the
    // HTTP layer does not take a port out of a "host:80" server name. The
    // request names the URL's path and query; through a proxy the HTTP
    // layer turns that back into the absolute URL itself.
    // An HTTPS build sends a report over TLS or not at all: the request
    // goes out only after the handshake, and a redirect in its answer is
    // not followed.
    HINTERNET connection = g_winInet.InternetConnectA(root, LV_REPORT_HOST, REPORT_PORT,
                                                      EMPTY_TEXT, EMPTY_TEXT,
                                                      INTERNET_SERVICE_HTTP, 0, 0);
    if (connection) {
        HINTERNET request = g_winInet.HttpOpenRequestA(connection, HTTP_VERB_GET,
                                                       ReportUrlPath(url), HTTP_VERSION_1_0, NULL,
                                                       NULL, REPORT_REQUEST_FLAGS, 0);
        if (request) {
            if (g_winInet.HttpSendRequestA(request, NULL, 0, NULL, 0)) {
                void* answer = GlobalAlloc(GMEM_FIXED, ANSWER_BUFFER_SIZE);
                if (answer) {
                    DWORD count = 0;
                    while (g_winInet.InternetReadFile(request, answer, ANSWER_BUFFER_SIZE,
                                                      &count) &&
                           count != 0) {
                    }
                    GlobalFree(answer);
                }
            }
            g_winInet.InternetCloseHandle(request);
        }
        g_winInet.InternetCloseHandle(connection);
    }
    g_winInet.InternetCloseHandle(root);
}

void SendCancelReport()
{
    char agent[32];
    char server[MAX_PATH];
    char object[MAX_PATH];
    char report[REPORT_URL_SIZE];
    HMODULE module = GetModuleHandleA(NULL);
    if (LoadStringA(module, IDS_AGENT, agent, sizeof agent) == 0 ||
        LoadStringA(module, IDS_SERVER, server, sizeof server) == 0 ||
        LoadStringA(module, IDS_OBJECT, object, sizeof object) == 0)
        return;
    DWORD seconds = ElapsedSeconds(GetTickCount(), g_jobStartTick);
    SendReport(agent, BuildResultReportUrl(report, IDS_ERR_USER_CANCEL, 0, seconds, server, object));
}
