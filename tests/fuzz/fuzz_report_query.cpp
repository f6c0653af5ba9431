// The collector's parser of report queries against any bytes, and against
// every report the composer can write.
//
// First byte even: the rest is a request target or query from anyone. The
// parser must not crash, and whatever it accepts must be exactly what the
// composer writes for the fields it read. First byte odd: the rest chooses
// a report's fields; the composed report must parse back to those fields.
#include <fuzzer/FuzzedDataProvider.h>

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>

#include "collector/report_query.h"
#include "report/report_url.h"

using namespace lvcollect;

static const char kHost[] = "reports.example.com";

static void Require(bool condition)
{
    if (!condition)
        abort();
}

static std::string Query(const char* url)
{
    std::string_view query;
    Require(ReportQueryOfTarget(ReportUrlPath(url), &query));
    Require(ReportQueryOfTarget(url, &query));
    return std::string(query);
}

// The composer writes this build's language; a report read from another
// language's build names its own.
static std::string WithLanguageOf(const Report& report, std::string query)
{
    auto replace = [&query](const std::string& field, const std::string& value) {
        size_t at = query.find(field);
        Require(at != std::string::npos);
        size_t end = query.find('&', at + field.size());
        query.replace(at + field.size(), end - at - field.size(), value);
    };
    replace("&oslanguage=", std::to_string(report.osLanguage));
    if (report.kind == ReportKind::Start)
        replace("&uilanguage=", report.uiLanguage);
    return query;
}

static std::string Recompose(const Report& report)
{
    OsVersion os = {report.osMajor, report.osMinor, report.ntLine ? 2u : 1u};
    char buffer[REPORT_URL_SIZE];
    if (report.kind == ReportKind::Start)
        return WithLanguageOf(report, Query(ComposeStartReportUrl(buffer, kHost, &os)));
    // The composer writes this build's scheme; an HTTPS build's report
    // names https.
    std::string scheme = report.currentUrl.compare(0, 8, "https://") == 0 ? "https://" : "http://";
    Require(report.currentUrl.compare(0, scheme.size(), scheme) == 0);
    std::string url = report.currentUrl.substr(scheme.size());
    size_t slash = url.find('/');
    Require(slash != std::string::npos);
    // Any split gives the same text; the buffer holds any URL the parser
    // accepts (519 bytes at most after the scheme) behind this report host.
    std::string server = url.substr(0, slash), object = url.substr(slash + 1);
    std::string query = WithLanguageOf(
        report, Query(ComposeResultReportUrl(buffer, kHost, report.code, report.bytes, report.seconds,
                                             server.c_str(), object.c_str(), &os)));
    std::string written = "&currenturl=" REPORT_URL_SCHEME, read = "&currenturl=" + scheme;
    size_t at = query.find(written);
    Require(at != std::string::npos);
    return query.replace(at, written.size(), read);
}

static void ParseAnything(const std::string& text)
{
    std::string_view query;
    if (ReportQueryOfTarget(text, &query))
        Require(query.size() <= text.size());
    ParsedQuery parsed = ParseReportQuery(text);
    Require(parsed.valid != !parsed.reason.empty());
    if (!parsed.valid)
        return;
    const Report& r = parsed.report;
    Require((r.kind == ReportKind::Cancel) == (r.code == CANCEL_CODE && r.bytes == 0 &&
                                               r.kind != ReportKind::Start && r.kind != ReportKind::Success));
    Require(Recompose(r) == text);
}

static void ComposeAndParse(FuzzedDataProvider& provider)
{
    auto text = [&provider] {
        std::string t = provider.ConsumeRandomLengthString(259);
        t.resize(strnlen(t.c_str(), t.size()));
        return t;
    };
    std::string server = text(), object = text();
    bool start = provider.ConsumeBool();
    uint32_t code = provider.ConsumeIntegral<uint32_t>();
    uint32_t bytes = provider.ConsumeIntegral<uint32_t>();
    uint32_t seconds = provider.ConsumeIntegral<uint32_t>();
    OsVersion os = {provider.ConsumeIntegral<uint32_t>(), provider.ConsumeIntegral<uint32_t>(),
                    provider.ConsumeIntegral<uint32_t>()};
    char buffer[REPORT_URL_SIZE];
    const char* url = start ? ComposeStartReportUrl(buffer, kHost, &os)
                            : ComposeResultReportUrl(buffer, kHost, code, bytes, seconds, server.c_str(),
                                                     object.c_str(), &os);
    ParsedQuery parsed = ParseReportQuery(Query(url));
    Require(parsed.valid);
    const Report& r = parsed.report;
    Require(r.osMajor == os.major && r.osMinor == os.minor && r.ntLine == (os.platformId == 2));
    Require(std::to_string(r.osLanguage) == LV_OSLANGUAGE);
    if (start) {
        Require(r.kind == ReportKind::Start && r.uiLanguage == LV_UILANGUAGE);
        return;
    }
    Require(r.code == code && r.bytes == bytes && r.seconds == seconds);
    Require(r.currentUrl == "http://" + server + "/" + object);
    Require(r.kind == (code == 0                             ? ReportKind::Success
                       : code == CANCEL_CODE && bytes == 0 ? ReportKind::Cancel
                                                           : ReportKind::Failure));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0) {
        ParseAnything(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    } else {
        FuzzedDataProvider provider(data + 1, size - 1);
        ComposeAndParse(provider);
    }
    return 0;
}
