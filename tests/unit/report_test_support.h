// What the report tests share: a guarded report buffer, and the examples of
// docs/PROTOCOL.md.
#ifndef LV_TESTS_UNIT_REPORT_TEST_SUPPORT_H
#define LV_TESTS_UNIT_REPORT_TEST_SUPPORT_H

#include <string.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "collector/report_query.h"
#include "report/report_url.h"

const char kGuard = '\xA5';

// A report buffer of exactly REPORT_URL_SIZE bytes on the heap, so that
// AddressSanitizer catches a write past it, filled with a known byte so
// that what lies after the terminator can be checked.
struct ReportBuffer {
    ReportBuffer() : bytes(new char[REPORT_URL_SIZE]) { memset(bytes.get(), kGuard, REPORT_URL_SIZE); }
    char* get() { return bytes.get(); }
    bool UntouchedAfterTerminator() const
    {
        size_t length = strnlen(bytes.get(), REPORT_URL_SIZE);
        if (length == REPORT_URL_SIZE)
            return false;
        for (size_t i = length + 1; i < REPORT_URL_SIZE; ++i)
            if (bytes[i] != kGuard)
                return false;
        return true;
    }
    std::unique_ptr<char[]> bytes;
};

// The fenced block after "<!-- example: NAME -->" in docs/PROTOCOL.md; empty
// when the sheet has no such example.
inline std::string SheetExample(const std::string& name)
{
    std::ifstream file(LV_SOURCE_DIR "/docs/PROTOCOL.md");
    std::stringstream text;
    text << file.rdbuf();
    std::string sheet = text.str();
    std::size_t marker = sheet.find("<!-- example: " + name + " -->");
    if (marker == std::string::npos)
        return "";
    std::size_t open = sheet.find("```", marker);
    std::size_t start = sheet.find('\n', open) + 1;
    std::size_t close = sheet.find("\n```", start);
    return sheet.substr(start, close - start);
}

// Composes the report that a parsed one describes, as the downloader of
// this test's flavour would.
inline std::string Recompose(const std::string& host, const lvcollect::Report& report)
{
    OsVersion os = {report.osMajor, report.osMinor, report.ntLine ? 2u : 1u};
    char buffer[REPORT_URL_SIZE];
    if (report.kind == lvcollect::ReportKind::Start)
        return ComposeStartReportUrl(buffer, host.c_str(), &os);
    // The download host ends at the first "/" after the scheme.
    std::string url = report.currentUrl.substr(report.currentUrl.find("://") + 3);
    std::size_t slash = url.find('/');
    return ComposeResultReportUrl(buffer, host.c_str(), report.code, report.bytes, report.seconds,
                                  url.substr(0, slash).c_str(), url.substr(slash + 1).c_str(), &os);
}

#endif
