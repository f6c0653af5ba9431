// The report vocabulary read back: which request targets are reports, and
// what a report's query says.
//
// The downloader writes every report as one fixed sequence of fields (see
// docs/PROTOCOL.md); nothing in it is escaped, so the download URL inside
// "currenturl" may hold "&", "=" or "?" of its own. The parser therefore
// does not split the query at "&": it walks the fixed texts in order, reads
// the numbers where they stand, and finds the end of the download URL from
// the operating-system fields, which close every report.
//
// Free of the HTTP library and of the store, so that it is unit-tested and
// fuzzed on its own.
#ifndef LV_COLLECTOR_REPORT_QUERY_H
#define LV_COLLECTOR_REPORT_QUERY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lvcollect {

// Every valid report query is shorter than this: the whole report URL,
// report host included, fits the downloader's buffer of 1,024 bytes (1,027
// in an HTTPS build), and the query is that URL without its scheme, host,
// port and path.
constexpr std::size_t MAX_REPORT_QUERY_BYTES = 1024;

// The result code of the report sent when the user closes the window.
constexpr std::uint32_t CANCEL_CODE = 123;

enum class ReportKind { Start, Success, Failure, Cancel };

const char* KindName(ReportKind kind);   // "start", "success", "failure", "cancel"
// The kind of a name that KindName gives, as a store reads it back; false
// for any other text.
bool KindOfName(std::string_view name, ReportKind* kind);

struct Report {
    ReportKind kind = ReportKind::Start;
    std::uint32_t code = 0;       // the failure code; 0 for start and success
    std::uint32_t seconds = 0;    // result reports only
    std::uint32_t bytes = 0;      // result reports only
    std::string currentUrl;       // result reports only: "http://" or "https://", host, "/", object
    std::uint32_t osMajor = 0;
    std::uint32_t osMinor = 0;
    bool ntLine = false;          // "os=nt"; otherwise "os=win"
    std::uint32_t osLanguage = 0; // Windows' primary language id of the build
    std::string uiLanguage;       // start reports only: "en", "de", ...
};

struct ParsedQuery {
    bool valid = false;
    Report report;                // when valid
    std::string reason;           // when not: what broke the grammar, and where
};

ParsedQuery ParseReportQuery(std::string_view query);

// Whether a request target names the report path, in origin form
// ("/foo.bar?QUERY") or in the absolute form a proxy receives
// ("http://HOST[:PORT]/foo.bar?QUERY"); if so, *query is what follows the
// first "?" (empty when there is none).
bool ReportQueryOfTarget(std::string_view target, std::string_view* query);

}  // namespace lvcollect

#endif
