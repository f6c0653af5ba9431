// The dashboard page from known reports: the hours of the last seven days,
// the spread's nearest ranks, the charts' proportions, and report texts that
// stay text.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "collector/dashboard.h"
#include "collector/dashboard_service.h"

using namespace lvcollect;

namespace {

// 2024-05-01 13:30:00 UTC
constexpr std::int64_t NOW_MS = 1714570200000;
constexpr std::int64_t CURRENT_HOUR_MS = 1714568400000;

StoredReport Stored(ReportKind kind, std::int64_t receivedMs, std::uint32_t code = 0,
                    std::uint32_t seconds = 0, std::uint32_t bytes = 0)
{
    StoredReport stored;
    stored.receivedMs = receivedMs;
    stored.client = "192.0.2.1";
    stored.userAgent = "Lumenvast Downloader";
    stored.report.kind = kind;
    stored.report.code = code;
    stored.report.seconds = seconds;
    stored.report.bytes = bytes;
    if (kind != ReportKind::Start)
        stored.report.currentUrl = "http://download.tessaframe.com/pub/installer.foo";
    stored.report.osMajor = 5;
    stored.report.osMinor = 1;
    stored.report.ntLine = true;
    stored.report.osLanguage = 9;
    return stored;
}

// The width of every rect of the given fill, in document order.
std::vector<double> Widths(const std::string& svg, const std::string& fill, const char* what = "width")
{
    std::vector<double> widths;
    std::regex rect(std::string("<rect x=\"[^\"]*\" y=\"[^\"]*\" width=\"([^\"]*)\" height=\"([^\"]*)\" "
                                "fill=\"") + fill + "\"");
    for (std::sregex_iterator it(svg.begin(), svg.end(), rect), end; it != end; ++it)
        widths.push_back(std::stod((*it)[std::string(what) == "width" ? 1 : 2]));
    return widths;
}

TEST(HourlySeries, CountsTheLastSevenDaysHourByHour)
{
    HourlySeries series = HourlySeriesEnding(NOW_MS);
    EXPECT_EQ(series.firstHourMs, CURRENT_HOUR_MS - 167 * HOUR_MS);
    CountInHour(&series, series.firstHourMs - 1, ReportKind::Start);       // 7 days and a moment ago
    CountInHour(&series, series.firstHourMs, ReportKind::Start);
    CountInHour(&series, CURRENT_HOUR_MS - 1, ReportKind::Success);
    CountInHour(&series, CURRENT_HOUR_MS, ReportKind::Start);
    CountInHour(&series, NOW_MS, ReportKind::Success);
    CountInHour(&series, NOW_MS, ReportKind::Failure);                     // neither
    CountInHour(&series, NOW_MS, ReportKind::Cancel);
    CountInHour(&series, CURRENT_HOUR_MS + HOUR_MS, ReportKind::Start);    // a clock ahead
    std::uint64_t attempts = 0, successes = 0;
    for (const HourCounts& hour : series.hours) {
        attempts += hour.attempts;
        successes += hour.successes;
    }
    EXPECT_EQ(attempts, 2u);
    EXPECT_EQ(successes, 2u);
    EXPECT_EQ(series.hours.front().attempts, 1u);
    EXPECT_EQ(series.hours[166].successes, 1u);
    EXPECT_EQ(series.hours.back().attempts, 1u);
    EXPECT_EQ(series.hours.back().successes, 1u);
}

TEST(HourlySeries, BarsStandOnThePeakHour)
{
    DashboardBuilder builder(NOW_MS);
    for (int i = 0; i < 4; ++i)
        builder.Add(Stored(ReportKind::Start, CURRENT_HOUR_MS - 2 * HOUR_MS));
    builder.Add(Stored(ReportKind::Start, CURRENT_HOUR_MS));
    builder.Add(Stored(ReportKind::Success, CURRENT_HOUR_MS));
    std::string svg = HourlyPageSvg(builder.Finish(0).hourly);
    EXPECT_EQ(Widths(svg, COLOUR_ATTEMPTS_LIGHT, "height"), (std::vector<double>{100, 25}));
    EXPECT_EQ(Widths(svg, COLOUR_SUCCEEDED, "height"), (std::vector<double>{25}));
}

TEST(HtmlText, MarkupQuotesAndOddBytesAreText)
{
    EXPECT_EQ(HtmlText("<script>alert(\"x\" + 'y')</script>&amp;"),
              "&lt;script&gt;alert(&quot;x&quot; + &#39;y&#39;)&lt;/script&gt;&amp;amp;");
    EXPECT_EQ(HtmlText(std::string("\xe9t\xe9\x01\x7f\x85\0", 7)), "&#xE9;t&#xE9;\\x01\\x7F\\x85\\x00");
}

TEST(Dashboard, ShowsTheFiguresAndKeepsReportTextsAsText)
{
    DashboardBuilder builder(NOW_MS);
    // Twenty successes of 1 to 20 seconds: nearest ranks 10 and 19.
    for (std::uint32_t i = 1; i <= 20; ++i) {
        builder.Add(Stored(ReportKind::Start, NOW_MS - 1000));
        builder.Add(Stored(ReportKind::Success, NOW_MS - 900, 0, i, 3000000 + i));
    }
    builder.Add(Stored(ReportKind::Start, NOW_MS - 800));
    StoredReport crafted = Stored(ReportKind::Failure, NOW_MS - 700, 117, 5, 4096);
    crafted.report.currentUrl = "http://download.tessaframe.com/\"><script>alert(1)</script>";
    crafted.userAgent = "<script>document.title='x'</script>";
    builder.Add(crafted);
    builder.Add(Stored(ReportKind::Start, NOW_MS - 600));      // cut off
    // Stored last by another collector, but older than all the others.
    builder.Add(Stored(ReportKind::Start, NOW_MS - 8 * 24 * HOUR_MS));
    Dashboard dashboard = builder.Finish(3);
    EXPECT_EQ(dashboard.reports, 44u);
    ASSERT_EQ(dashboard.latest.size(), LATEST_REPORTS_SHOWN);
    EXPECT_EQ(dashboard.latest.front().receivedMs, NOW_MS - 600);
    EXPECT_EQ(dashboard.latest[1].userAgent, crafted.userAgent);
    EXPECT_EQ(dashboard.latest.back().receivedMs, NOW_MS - 900);

    std::string page = DashboardHtml(dashboard);
    // The page has no script of its own, so any "<script" would be a report's.
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_NE(page.find("http://download.tessaframe.com/&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;"),
              std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;document.title=&#39;x&#39;&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"30\">"), std::string::npos);
    EXPECT_NE(page.find("Updated <time datetime=\"2024-05-01T13:30:00Z\">2024-05-01 13:30:00 UTC</time>"),
              std::string::npos);
    EXPECT_NE(page.find("<tr><td>Seconds to success</td><td class=\"n\">10 s</td><td class=\"n\">19 s"
                        "</td><td class=\"n\">20</td></tr>"),
              std::string::npos);
    // Bytes from the summaries' buckets: within 1 %, and said so.
    EXPECT_NE(page.find("~3,006,463 bytes (2.9 MiB)"), std::string::npos);
    EXPECT_NE(page.find("~: within 1 %"), std::string::npos);
    EXPECT_NE(page.find("<b>23</b><span>attempts started</span>"), std::string::npos);
    EXPECT_NE(page.find("<b>2</b><span>cut off, no result report</span>"), std::string::npos);
    EXPECT_NE(page.find("Period: all kept reports: 44 reports, 3 malformed queries"), std::string::npos);
    // No client column: the latest reports show no hash either.
    EXPECT_EQ(page.find("192.0.2.1"), std::string::npos);
    EXPECT_NE(page.find("<td>English (9)</td><td class=\"n\">23</td>"), std::string::npos);
    EXPECT_NE(page.find("117  Download interrupted. Please check your"), std::string::npos);
}

TEST(Dashboard, FunnelBarsAreInProportion)
{
    DashboardBuilder builder(NOW_MS);
    for (int i = 0; i < 4; ++i)
        builder.Add(Stored(ReportKind::Start, NOW_MS));
    builder.Add(Stored(ReportKind::Success, NOW_MS, 0, 1, 1));
    builder.Add(Stored(ReportKind::Success, NOW_MS, 0, 1, 1));
    builder.Add(Stored(ReportKind::Failure, NOW_MS, 119, 1, 1));
    Funnel funnel = builder.Finish(0).funnel;
    std::string svg = FunnelPageSvg(funnel);
    std::vector<double> started = Widths(svg, COLOUR_STARTED);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(Widths(svg, COLOUR_SUCCEEDED), (std::vector<double>{started[0] / 2}));
    // The failed step and code 119's bar.
    EXPECT_EQ(Widths(svg, COLOUR_FAILED), (std::vector<double>{started[0] / 4, started[0] / 4}));
    EXPECT_EQ(Widths(svg, COLOUR_CUT_OFF), (std::vector<double>{started[0] / 4}));
    EXPECT_TRUE(Widths(svg, COLOUR_CANCELLED).empty());
    // By version: success, failure and cut off side by side in one bar of all started.
    std::string versions = VersionsPageSvg(funnel);
    EXPECT_EQ(Widths(versions, COLOUR_SUCCEEDED).at(0) + Widths(versions, COLOUR_FAILED).at(0) +
                  Widths(versions, COLOUR_CUT_OFF).at(0),
              started[0]);
}

}  // namespace

namespace {

// Reports in memory; a read can be held until the test lets it go.
class MemoryStore : public ReportStore {
public:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<StoredReport> reports;
    bool holdReads = false;
    bool reading = false;
    bool failing = false;

    void Append(const std::vector<Received>&, const BatchName&) override {}
    Summaries ReadSummaries(const Period& period) override
    {
        SummaryDelta delta;
        {
            // What the read sees is fixed when it starts, as in a transaction.
            std::unique_lock<std::mutex> lock(mutex);
            for (const StoredReport& stored : reports)
                delta.AddReport(stored.receivedMs, stored.client, stored.report);
            reading = true;
            changed.notify_all();
            changed.wait(lock, [this] { return !holdReads; });
            reading = false;
            if (failing)
                throw StoreError("the database went away");
        }
        return SummariesOf(delta, period);
    }
    std::vector<StoredReport> Latest(std::size_t) override { return {}; }
    std::map<std::int64_t, DayKey> DayKeys(std::int64_t, std::int64_t) override { return {}; }
    void ForgetDayKeys(std::int64_t) override {}
    bool ExpireStep(std::int64_t) override { return false; }
    std::uint64_t ReportsBefore(std::int64_t) override { return 0; }
};

struct Answers {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<const DashboardDocuments>> got;

    DocumentsReady Collect()
    {
        return [this](std::shared_ptr<const DashboardDocuments> documents) {
            std::lock_guard<std::mutex> lock(mutex);
            got.push_back(std::move(documents));
            changed.notify_all();
        };
    }
    void WaitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return got.size() >= count; }));
    }
};

TEST(DashboardService, AnAnswerNeverMissesAReportStoredBeforeItWasAsked)
{
    MemoryStore* store = new MemoryStore;
    std::unique_ptr<ReportStore> owned(store);
    std::atomic<std::int64_t> now{NOW_MS};
    DashboardService service([&] { return std::move(owned); }, [&] { return now.load(); });
    Answers answers;
    store->reports.push_back(Stored(ReportKind::Start, NOW_MS));
    store->holdReads = true;
    service.Request(Period{}, answers.Collect());
    {
        // A report stored while the first read runs, then a second request:
        // it waits for a read that sees the report.
        std::unique_lock<std::mutex> lock(store->mutex);
        store->changed.wait(lock, [&] { return store->reading; });
        store->reports.push_back(Stored(ReportKind::Success, NOW_MS, 0, 5, 500));
    }
    service.Request(Period{}, answers.Collect());
    service.Request(Period{}, answers.Collect());
    {
        std::lock_guard<std::mutex> lock(store->mutex);
        store->holdReads = false;
    }
    store->changed.notify_all();
    answers.WaitFor(3);
    EXPECT_NE(answers.got[0]->json.find("\"succeeded\": 0"), std::string::npos) << answers.got[0]->json;
    EXPECT_NE(answers.got[1]->json.find("\"succeeded\": 1"), std::string::npos) << answers.got[1]->json;
    EXPECT_EQ(answers.got[1], answers.got[2]);     // one read for both
    EXPECT_EQ(service.Reads(), 2u);
    EXPECT_NE(answers.got[1]->html.find("<b>1</b><span>ended in success"), std::string::npos);

    // Within a second of the read, at once and from it; after, from a new one.
    now += DASHBOARD_FRESH_MS - 1;
    service.Request(Period{}, answers.Collect());
    ASSERT_EQ(answers.got.size(), 4u);
    EXPECT_EQ(answers.got[3], answers.got[2]);
    now += 1;
    service.Request(Period{}, answers.Collect());
    answers.WaitFor(5);
    EXPECT_EQ(service.Reads(), 3u);

    // Another period is read for itself, never served from another's read.
    Period day;
    day.hasFrom = day.hasTo = true;
    day.fromDay = day.toDay = DayOf(NOW_MS) - 1;
    service.Request(day, answers.Collect());
    answers.WaitFor(6);
    EXPECT_EQ(service.Reads(), 4u);
    EXPECT_NE(answers.got[5]->json.find("\"started\": 0"), std::string::npos) << answers.got[5]->json;
    EXPECT_NE(answers.got[5]->json.find("\"from\": \"2024-04-30\", \"to\": \"2024-04-30\""),
              std::string::npos);
}

TEST(DashboardService, AStoreThatFailsIsOpenedAgain)
{
    int opened = 0;
    DashboardService service(
        [&] {
            ++opened;
            auto store = std::make_unique<MemoryStore>();
            store->failing = opened == 1;
            return std::unique_ptr<ReportStore>(std::move(store));
        },
        [] { return NOW_MS; });
    Answers answers;
    service.Request(Period{}, answers.Collect());
    answers.WaitFor(1);
    EXPECT_FALSE(answers.got[0]->ok);
    EXPECT_EQ(answers.got[0]->error, "the database went away");
    // A failed read is never served again as fresh.
    service.Request(Period{}, answers.Collect());
    answers.WaitFor(2);
    EXPECT_TRUE(answers.got[1]->ok);
    EXPECT_EQ(opened, 2);
}

}  // namespace
