// The vendor's dashboard: one HTML page, drawn from the stored reports, that
// shows the funnel, the funnel by Windows version, the attempts of the last
// seven days hour by hour, the spread of the successes and the latest
// reports. It refreshes itself with a meta refresh: the page carries no
// script and fetches nothing, so it works wherever the admin listener is
// reachable, and a report's texts can never become code in it.
//
// Free of the HTTP front and of the store's kind: it is built from the
// reports one by one, in the order of arrival, and rendered to a string.
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
constexpr std::int64_t HOUR_MS = 3600 * 1000;
constexpr std::size_t HOURS_SHOWN = 7 * 24;
constexpr std::size_t LATEST_REPORTS_SHOWN = 20;

struct HourCounts {
    std::uint64_t attempts = 0;    // start reports received in the hour
    std::uint64_t successes = 0;   // success reports received in the hour
};

// The last HOURS_SHOWN whole hours of UTC, the current one last (it is
// still running); reports outside them are not counted.
struct HourlySeries {
    std::int64_t firstHourMs = 0;  // where the oldest hour begins
    std::array<HourCounts, HOURS_SHOWN> hours{};
};

HourlySeries HourlySeriesEnding(std::int64_t nowMs);
void CountInHour(HourlySeries* series, std::int64_t receivedMs, ReportKind kind);

struct Dashboard {
    Funnel funnel;
    std::uint64_t reports = 0;            // valid reports stored
    std::int64_t updatedMs = 0;           // when the store was read
    HourlySeries hourly;
    std::vector<StoredReport> latest;     // the newest received, newest first
};

class DashboardBuilder {
public:
    explicit DashboardBuilder(std::int64_t nowMs);
    void Add(const StoredReport& stored);   // in the order of arrival
    Dashboard Finish(std::uint64_t malformed);

private:
    FunnelBuilder funnel_;
    Dashboard dashboard_;
    std::deque<StoredReport> latest_;
};

// Reads every report of the store once.
Dashboard ReadDashboard(ReportStore& store, std::int64_t nowMs);

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
// Stretched to the page's width: it holds no text.
std::string HourlyPageSvg(const HourlySeries& series);

}  // namespace lvcollect

#endif
