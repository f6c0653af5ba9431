// Start and result reports composed from any report host of at most 150
// characters, any catalogue texts of at most 259, and any numbers: the URL
// is the sum of its pieces, stays within the 1,024-byte buffer, and nothing
// after its terminator is touched.
#include <fuzzer/FuzzedDataProvider.h>

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "report/report_url.h"

static const char kGuard = '\xA5';

static void Require(bool condition)
{
    if (!condition)
        abort();
}

// A zero-terminated text of at most maxLength characters.
static std::string Text(FuzzedDataProvider& provider, size_t maxLength)
{
    std::string text = provider.ConsumeRandomLengthString(maxLength);
    text.resize(strnlen(text.c_str(), text.size()));
    return text;
}

static std::string OsFields(const OsVersion& os)
{
    return "&osversion=" + std::to_string(os.major) + "." + std::to_string(os.minor) + "&os=" +
           (os.platformId == 2 ? "nt" : "win");
}

static std::string Prefix(const std::string& host)
{
    return "http://" + host +
           ":80/foo.bar?protocol=2&mode=initial&pluginversion=850325&oslanguage=9"
           "&installtype=Kestrelox&installstate=newplug&product1=LMV10D80";
}

// Checks a composed URL against the expected text and the buffer's bounds.
static void CheckComposed(const char* buffer, const std::string& expected, const std::string& host)
{
    Require(expected.size() < REPORT_URL_SIZE);
    size_t length = strnlen(buffer, REPORT_URL_SIZE);
    Require(length == expected.size());
    Require(memcmp(buffer, expected.data(), length) == 0);
    for (size_t i = length + 1; i < REPORT_URL_SIZE; ++i)
        Require(buffer[i] == kGuard);
    // The request names the path and query: from the "/" after host and port.
    Require(ReportUrlPath(buffer) == buffer + strlen("http://") + host.size() + strlen(":80"));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    std::string host = Text(provider, REPORT_HOST_MAX);
    // A host name holds no "/": the first one after it starts the path.
    for (char& c : host)
        if (c == '/')
            c = '-';
    std::string server = Text(provider, 259);
    std::string object = Text(provider, 259);
    uint32_t code = provider.ConsumeIntegral<uint32_t>();
    uint32_t bytes = provider.ConsumeIntegral<uint32_t>();
    uint32_t seconds = provider.ConsumeIntegral<uint32_t>();
    OsVersion os;
    os.major = provider.ConsumeIntegral<uint32_t>();
    os.minor = provider.ConsumeIntegral<uint32_t>();
    os.platformId = provider.ConsumeIntegral<uint32_t>();

    // Exactly the report buffer's size on the heap, so a write past it is caught.
    std::unique_ptr<char[]> buffer(new char[REPORT_URL_SIZE]);

    memset(buffer.get(), kGuard, REPORT_URL_SIZE);
    Require(ComposeStartReportUrl(buffer.get(), host.c_str(), &os) == buffer.get());
    std::string start = Prefix(host) +
                        "&machinetype=pc&sampleperiod=0&uilanguage=en&worldregion=1"
                        "&savesattempted=&savescompleted=&package1=kest,850325&action=update" +
                        OsFields(os);
    CheckComposed(buffer.get(), start, host);

    std::string result = Prefix(host) + "&filesdownloaded=1&installattempts=1&version=,850325&action=" +
                         (code == 0 ? "success&error=&filesdownloaded=1&installattempts=1&installduration="
                                    : "failure&error=" + std::to_string(code) + "&duration=") +
                         std::to_string(seconds) + "&totalbytes=" + std::to_string(bytes) +
                         "&currenturl=http://" + server + "/" + object + OsFields(os);
    // The job composes its result report over its start report.
    Require(ComposeResultReportUrl(buffer.get(), host.c_str(), code, bytes, seconds, server.c_str(),
                                   object.c_str(), &os) == buffer.get());
    Require(result == buffer.get());

    memset(buffer.get(), kGuard, REPORT_URL_SIZE);
    ComposeResultReportUrl(buffer.get(), host.c_str(), code, bytes, seconds, server.c_str(),
                           object.c_str(), &os);
    CheckComposed(buffer.get(), result, host);
    return 0;
}
