#include "report/report_url.h"

static const char kUrlScheme[] = REPORT_URL_SCHEME;
static const char kUrlPrefixAfterHost[] =
    REPORT_URL_PORT "/foo.bar?protocol=2&mode=initial&pluginversion=850325&oslanguage="
    LV_OSLANGUAGE "&installtype=Kestrelox&installstate=newplug&product1=LMV10D80";
static const char kStartSuffix[] =
    "&machinetype=pc&sampleperiod=0&uilanguage=" LV_UILANGUAGE "&worldregion=1"
    "&savesattempted=&savescompleted=&package1=kest,850325&action=update";
static const char kResultHead[] =
    "&filesdownloaded=1&installattempts=1&version=,850325&action=";
static const char kSuccessFields[] = "success&error=&filesdownloaded=1&installattempts=1";
static const char kFailureFields[] = "failure&error=";
static const char kInstallDuration[] = "&installduration=";
static const char kDuration[] = "&duration=";
static const char kTotalBytes[] = "&totalbytes=";
static const char kCurrentUrl[] = "&currenturl=";

// The bound that REPORT_URL_SIZE states, from the pieces themselves: the
// longest success report (every number ten digits wide, both catalogue
// texts of 259 characters, the widest operating-system fields) and its
// terminator. A failure report is shorter: its code and "&duration=" take
// fewer characters than the success fields and "&installduration=".
#define LV_LENGTH(text) (sizeof(text) - 1)
constexpr int kNumberMax = 10;
constexpr int kCatalogueTextMax = 259;
constexpr int kOsFieldsMax = LV_LENGTH("&osversion=") + kNumberMax + LV_LENGTH(".") + kNumberMax +
                             LV_LENGTH("&os=") + LV_LENGTH("win");
static_assert(LV_LENGTH(kUrlScheme) + REPORT_HOST_MAX + LV_LENGTH(kUrlPrefixAfterHost) +
                      LV_LENGTH(kResultHead) + LV_LENGTH(kSuccessFields) +
                      LV_LENGTH(kInstallDuration) + kNumberMax + LV_LENGTH(kTotalBytes) +
                      kNumberMax + LV_LENGTH(kCurrentUrl) + LV_LENGTH(kUrlScheme) +
                      kCatalogueTextMax + LV_LENGTH("/") + kCatalogueTextMax + kOsFieldsMax + 1 ==
                  REPORT_URL_SIZE,
              "REPORT_URL_SIZE is not the longest report");
static_assert(LV_LENGTH(kFailureFields) + kNumberMax + LV_LENGTH(kDuration) <
                  LV_LENGTH(kSuccessFields) + LV_LENGTH(kInstallDuration),
              "a failure report would be the longest");
#undef LV_LENGTH

int CopyText(char* destination, const char* source)
{
    int count = 0;
    while (source[count] != '\0') {
        destination[count] = source[count];
        ++count;
    }
    return count;
}

int FormatDecimal(char* destination, uint32_t value)
{
    // Digits least significant first, then reversed in place.
    int count = 0;
    do {
        destination[count++] = static_cast<char>('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    for (int i = 0; i < count / 2; ++i) {
        char swapped = destination[i];
        destination[i] = destination[count - 1 - i];
        destination[count - 1 - i] = swapped;
    }
    return count;
}

int AppendOsInfo(char* destination, const OsVersion* os)
{
    int n = CopyText(destination, "&osversion=");
    n += FormatDecimal(destination + n, os->major);
    n += CopyText(destination + n, ".");
    n += FormatDecimal(destination + n, os->minor);
    n += CopyText(destination + n, "&os=");
    n += CopyText(destination + n, os->platformId == 2 ? "nt" : "win");
    return n;
}

static int WritePrefix(char* destination, const char* reportHost)
{
    int n = CopyText(destination, kUrlScheme);
    n += CopyText(destination + n, reportHost);
    n += CopyText(destination + n, kUrlPrefixAfterHost);
    return n;
}

char* ComposeStartReportUrl(char* buffer, const char* reportHost, const OsVersion* os)
{
    int n = WritePrefix(buffer, reportHost);
    n += CopyText(buffer + n, kStartSuffix);
    n += AppendOsInfo(buffer + n, os);
    buffer[n] = '\0';
    return buffer;
}

char* ComposeResultReportUrl(char* buffer, const char* reportHost, uint32_t code,
                             uint32_t bytes, uint32_t seconds, const char* server,
                             const char* object, const OsVersion* os)
{
    int n = WritePrefix(buffer, reportHost);
    n += CopyText(buffer + n, kResultHead);
    if (code == 0) {
        n += CopyText(buffer + n, kSuccessFields);
        n += CopyText(buffer + n, kInstallDuration);
    } else {
        n += CopyText(buffer + n, kFailureFields);
        n += FormatDecimal(buffer + n, code);
        n += CopyText(buffer + n, kDuration);
    }
    n += FormatDecimal(buffer + n, seconds);
    n += CopyText(buffer + n, kTotalBytes);
    n += FormatDecimal(buffer + n, bytes);
    n += CopyText(buffer + n, kCurrentUrl);
    n += CopyText(buffer + n, kUrlScheme);
    n += CopyText(buffer + n, server);
    n += CopyText(buffer + n, "/");
    n += CopyText(buffer + n, object);
    n += AppendOsInfo(buffer + n, os);
    buffer[n] = '\0';
    return buffer;
}

const char* ReportUrlPath(const char* url)
{
    // The host cannot hold a "/", so the first one after the scheme starts
    // the path.
    const char* p = url + sizeof kUrlScheme - 1;
    while (*p != '\0' && *p != '/')
        ++p;
    return p;
}
