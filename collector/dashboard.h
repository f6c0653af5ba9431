// The vendor's dashboard: one HTML page, drawn from the summaries of a
// period (summaries.h), that shows the funnel, the funnel by Windows
// version and by language, the attempts of the period's last seven days
// hour by hour, the spread of the successes and the latest reports. It refreshes itself with a meta refresh: the page carries no
// script and fetches nothing, so it works wherever the admin listener is
// reachable, and a report's texts can never become code in it.
//
// Free of the HTTP front and of the store's kind: it is built from the
// summaries and the latest reports, and rendered to a string.
#ifndef LV_COLLECTOR_DASHBOARD_H
#define LV_COLLECTOR_DASHBOARD_H

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "collector/funnel.h"
#include "collector/store.h"

namespace lvcollect {

constexpr int DASHBOARD_REFRESH_SECONDS = 30;
constexpr std::size_t HOURS_SHOWN = 7 * 24;
constexpr std::size_t LATEST_REPORTS_SHOWN = 20;

struct HourCounts {
    std::uint64_t attempts = 0;    // start reports received in the hour
    std::uint64_t successes = 0;   // success reports received in the hour
};

// The last HOURS_SHOWN whole hours of UTC before a moment (now, or the
// end of the period), the one that holds it last; reports outside them are
// not counted.
struct HourlySeries {
    std::int64_t firstHourMs = 0;  // where the oldest hour begins
    std::array<HourCounts, HOURS_SHOWN> hours{};
};

HourlySeries HourlySeriesEnding(std::int64_t nowMs);
void CountInHour(HourlySeries* series, std::int64_t receivedMs, ReportKind kind, std::uint64_t count = 1);

struct Dashboard {
    Funnel funnel;
    std::uint64_t reports = 0;            // valid reports of the period
    std::int64_t updatedMs = 0;           // when the store was read
    HourlySeries hourly;
    std::vector<StoredReport> latest;     // the newest received, newest first
};

Dashboard DashboardOf(const Summaries& summaries, const Period& period, std::vector<StoredReport> latest,
                      std::int64_t nowMs);

// The dashboard of reports held in memory (tests): each client's text is
// taken as its hash.
class DashboardBuilder {
public:
    explicit DashboardBuilder(std::int64_t nowMs) : nowMs_(nowMs) {}
    void Add(const StoredReport& stored);
    Dashboard Finish(std::uint64_t malformed);

private:
    std::int64_t nowMs_;
    SummaryDelta delta_;
    std::vector<StoredReport> reports_;
};

// Reads the period's summaries and the latest reports.
Dashboard ReadDashboard(ReportStore& store, std::int64_t nowMs, const Period& period = {});

// Attempts without a result report: the window closed or the machine
// stopped while they ran, or the report was lost on the way.
std::uint64_t CutOff(const KindCounts& counts);

// Received bytes as HTML text: markup and quotes escaped, printable ASCII as
// it is, bytes from 0xA0 as the Latin-1 characters of their numbers, other
// bytes (controls, DEL, 0x80 to 0x9F) as a visible "\xNN".
std::string HtmlText(std::string_view bytes);

// "2024-05-01 13:07:59 UTC"
std::string UtcTime(std::int64_t unixMs);

// The whole page, in UTF-8.
std::string DashboardHtml(const Dashboard& dashboard);

// The page's charts (chart.cpp), in the colours that its legends name.
inline constexpr char COLOUR_STARTED[] = "#4a6fa5";
inline constexpr char COLOUR_SUCCEEDED[] = "#3d9a50";
inline constexpr char COLOUR_FAILED[] = "#c8453b";
inline constexpr char COLOUR_CANCELLED[] = "#d99a2b";
inline constexpr char COLOUR_CUT_OFF[] = "#8c8c8c";
inline constexpr char COLOUR_ATTEMPTS_LIGHT[] = "#a9bedf";

std::string FunnelPageSvg(const Funnel& funnel);
// One row per version pair, in the order of their numbers.
std::string VersionsPageSvg(const Funnel& funnel);
// One row per language, in the order of their ids.
std::string LanguagesPageSvg(const Funnel& funnel);
// Stretched to the page's width: it holds no text.
std::string HourlyPageSvg(const HourlySeries& series);

}  // namespace lvcollect

#endif
