// The Windows-bound half of the report composer: the operating-system
// version and the build's report host.
#include <windows.h>

#include "lv_config.h"
#include "report/report.h"
#include "report/report_url.h"

static_assert(sizeof LV_REPORT_HOST - 1 <= REPORT_HOST_MAX,
              "a longer report host would overflow the report buffer");

// Asked afresh for every report. When GetVersionExA fails the fields stay 0.
static void ReadOsVersion(OsVersion* os)
{
    OSVERSIONINFOA info;
    info.dwOSVersionInfoSize = sizeof info;   // 148
    info.dwMajorVersion = 0;
    info.dwMinorVersion = 0;
    info.dwPlatformId = 0;
    GetVersionExA(&info);
    os->major = info.dwMajorVersion;
    os->minor = info.dwMinorVersion;
    os->platformId = info.dwPlatformId;
}

char* BuildStartReportUrl(char* buffer)
{
    OsVersion os;
    ReadOsVersion(&os);
    return ComposeStartReportUrl(buffer, LV_REPORT_HOST, &os);
}

char* BuildResultReportUrl(char* buffer, ResultCode code, DWORD bytes, DWORD seconds,
                           const char* server, const char* object)
{
    OsVersion os;
    ReadOsVersion(&os);
    return ComposeResultReportUrl(buffer, LV_REPORT_HOST, code, bytes, seconds, server,
                                  object, &os);
}
