#include "collector/dashboard.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <utility>

namespace lvcollect {
namespace {

// A day's label under the hourly chart needs about this many hours of width
// on a phone; the partial days at either end may have fewer.
constexpr std::size_t MIN_LABELLED_HOURS = 8;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

std::tm UtcFields(std::int64_t unixMs)
{
    std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm fields{};
    gmtime_r(&seconds, &fields);
    return fields;
}

std::string UtcFormatted(std::int64_t unixMs, const char* format)
{
    std::tm fields = UtcFields(unixMs);
    char text[64];
    std::size_t length = std::strftime(text, sizeof text, format, &fields);
    return std::string(text, length);
}

// 1234567 as "1,234,567".
std::string Grouped(std::uint64_t value)
{
    std::string digits = std::to_string(value), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string Share(std::uint64_t part, std::uint64_t whole)
{
    return whole == 0 ? std::string("-") : Format("%.1f%%", 100.0 * part / whole);
}

std::string Bytes(std::uint32_t bytes)
{
    if (bytes < 1024 * 1024)
        return Grouped(bytes) + " bytes";
    return Grouped(bytes) + " bytes (" + Format("%.1f MiB", bytes / (1024.0 * 1024.0)) + ")";
}

const char kStyle[] =
    "*{box-sizing:border-box}"
    "body{margin:0;background:#eef1f5;color:#222;"
    "font:15px/1.4 \"DejaVu Sans\",Arial,Helvetica,sans-serif}"
    "header,main,footer{max-width:1240px;margin:0 auto;padding:0 16px}"
    "header{padding-top:16px}"
    "h1{font-size:24px;margin:0 0 4px}"
    "h2{font-size:17px;margin:0 0 10px}"
    ".updated{margin:0 0 14px;color:#555}"
    ".figures{display:grid;grid-template-columns:repeat(auto-fit,minmax(150px,1fr));gap:10px;"
    "margin-bottom:16px}"
    ".figure{background:#fff;border-radius:6px;padding:10px 12px;border-left:5px solid}"
    ".figure b{display:block;font-size:24px}"
    ".figure span{color:#555}"
    "main{display:grid;grid-template-columns:repeat(auto-fit,minmax(min(100%,480px),1fr));gap:16px}"
    "section{background:#fff;border-radius:6px;padding:14px 16px;min-width:0}"
    ".wide{grid-column:1/-1}"
    "svg{display:block;width:100%;height:auto;max-width:460px}"
    "#hourly svg{max-width:none;height:180px}"
    ".days{display:grid;font-size:13px;color:#555;border-left:1px solid #c9ced6}"
    ".days span{border-right:1px solid #c9ced6;padding-left:3px;overflow:hidden;white-space:nowrap}"
    ".legend{margin:0 0 8px;font-size:14px}"
    ".legend i{display:inline-block;width:12px;height:12px;margin:0 4px 0 10px;"
    "vertical-align:-1px}"
    ".legend i:first-child{margin-left:0}"
    "table{border-collapse:collapse;width:100%;font-size:14px;margin-top:10px}"
    "th,td{text-align:left;padding:4px 8px 4px 0;border-bottom:1px solid #e1e5ea;"
    "vertical-align:top}"
    "td.n,th.n{text-align:right}"
    ".column{display:grid;gap:16px;align-content:start;min-width:0}"
    ".latest td{white-space:nowrap}"
    ".latest td.text{white-space:normal;overflow-wrap:anywhere}"
    "footer{color:#555;font-size:13px;padding:16px}"
    // A phone: each report's row becomes a small card of labelled lines.
    "@media (max-width:700px){"
    "h1{font-size:20px}"
    "table{font-size:13px}"
    "th,td{padding:3px 5px 3px 0}"
    "header,main{padding:0 8px}"
    "section{padding:12px 10px}"
    ".days{font-size:11px}"
    ".latest td{white-space:normal}"
    ".latest td.n{text-align:left}"
    ".latest td:empty{display:none}"
    ".latest thead{display:none}"
    ".latest tr{display:block;border-bottom:1px solid #c9ced6;padding:6px 0}"
    ".latest td{display:block;border:0;padding:1px 0}"
    ".latest td::before{content:attr(data-label) \": \";color:#555}"
    "}";

// "Mon 7": short enough for a day's column on a phone.
std::string DayLabel(std::int64_t unixMs)
{
    return UtcFormatted(unixMs, "%a ") + std::to_string(UtcFields(unixMs).tm_mday);
}

std::string Figure(const std::string& value, const std::string& label, const char* colour)
{
    return "<div class=\"figure\" style=\"border-color:" + std::string(colour) + "\"><b>" + value +
           "</b><span>" + label + "</span></div>\n";
}

std::string Legend(std::initializer_list<std::pair<const char*, const char*>> entries)
{
    std::string out = "<p class=\"legend\">";
    for (const auto& [colour, label] : entries)
        out += "<i style=\"background:" + std::string(colour) + "\"></i>" + label + " ";
    return out + "</p>\n";
}

std::string Figures(const Dashboard& d)
{
    const Funnel& f = d.funnel;
    std::string out = "<div class=\"figures\">\n";
    out += Figure(Grouped(f.all.started), "attempts started", COLOUR_STARTED);
    out += Figure(Grouped(f.all.succeeded), "ended in success (" + Share(f.all.succeeded, f.all.started) + ")",
                  COLOUR_SUCCEEDED);
    out += Figure(Grouped(f.all.failed), "failed (" + Share(f.all.failed, f.all.started) + ")",
                  COLOUR_FAILED);
    out += Figure(Grouped(CutOff(f.all)), "cut off, no result report", COLOUR_CUT_OFF);
    out += Figure(Grouped(f.all.cancelled), "cancelled, window closed", COLOUR_CANCELLED);
    std::string clients = f.clientDays > 1 ? "clients (sum of " + Grouped(f.clientDays) + " days), "
                                           : std::string("clients, ");
    out += Figure(Grouped(f.clients), clients + Grouped(f.clientsRetried) + " needed Try Again", "#555555");
    return out + "</div>\n";
}

std::string VersionsSection(const Funnel& f)
{
    std::string rows;
    for (const auto& [key, counts] : VersionsInOrder(f)) {
        const char* name = WindowsName(counts->major, counts->minor, counts->ntLine);
        rows += "<tr><td>" + (name ? std::string(name) + " (" + key + ")" : key) +
                "</td><td class=\"n\">" + Grouped(counts->started) + "</td><td class=\"n\">" +
                Grouped(counts->succeeded) + "</td><td class=\"n\">" + Grouped(counts->failed) +
                "</td><td class=\"n\">" + Grouped(CutOff(*counts)) + "</td><td class=\"n\">" +
                Grouped(counts->cancelled) + "</td></tr>\n";
    }
    std::string out = "<section id=\"versions\">\n<h2>By Windows version</h2>\n";
    out += Legend({{COLOUR_SUCCEEDED, "success"}, {COLOUR_FAILED, "failed"},
                   {COLOUR_CUT_OFF, "cut off"}});
    out += VersionsPageSvg(f);
    out += "<table>\n<thead><tr><th>Windows</th><th class=\"n\">Started</th><th class=\"n\">Success"
           "</th><th class=\"n\">Failed</th><th class=\"n\">Cut off</th><th class=\"n\">Cancel"
           "</th></tr></thead>\n<tbody>\n" +
           rows + "</tbody>\n</table>\n";
    return out + "</section>\n";
}

std::string HourlySection(const HourlySeries& series)
{
    std::uint64_t attempts = 0, successes = 0, peak = 0;
    for (const HourCounts& hour : series.hours) {
        attempts += hour.attempts;
        successes += hour.successes;
        peak = std::max(peak, hour.attempts);
    }
    // The days as columns as wide as their hours in the chart above.
    std::string columns, labels;
    std::size_t hour = 0;
    while (hour < series.hours.size()) {
        std::int64_t startMs = series.firstHourMs + static_cast<std::int64_t>(hour) * HOUR_MS;
        std::size_t hours = static_cast<std::size_t>((DAY_MS - startMs % DAY_MS) / HOUR_MS);
        hours = std::min(hours, series.hours.size() - hour);
        columns += (columns.empty() ? "" : " ") + std::to_string(hours) + "fr";
        labels += "<span>" + (hours >= MIN_LABELLED_HOURS ? DayLabel(startMs) : "") +
                  "</span>";
        hour += hours;
    }
    std::string out = "<section id=\"hourly\" class=\"wide\">\n"
                      "<h2>Attempts and successes per hour, last 7 days (UTC)</h2>\n";
    out += Legend({{COLOUR_ATTEMPTS_LIGHT, "attempts started"}, {COLOUR_SUCCEEDED, "successes"}});
    out += HourlyPageSvg(series);
    out += "<div class=\"days\" style=\"grid-template-columns:" + columns + "\">" + labels + "</div>\n";
    out += "<p>Last 7 days: attempts started " + Grouped(attempts) + ", successes " +
           Grouped(successes) + ", most attempts in one hour " + Grouped(peak) + ".</p>\n";
    return out + "</section>\n";
}

std::string LanguagesSection(const Funnel& f)
{
    std::string rows;
    for (const auto& [language, counts] : f.byLanguage) {
        const char* name = LanguageName(language);
        std::string label = LanguageLabel(language);
        rows += "<tr><td>" + (name ? label.substr(label.find(' ') + 1) + " (" + std::to_string(language) + ")"
                                   : label) +
                "</td><td class=\"n\">" + Grouped(counts.started) + "</td><td class=\"n\">" +
                Grouped(counts.succeeded) + "</td><td class=\"n\">" + Grouped(counts.failed) +
                "</td><td class=\"n\">" + Grouped(CutOff(counts)) + "</td><td class=\"n\">" +
                Grouped(counts.cancelled) + "</td></tr>\n";
    }
    std::string out = "<section id=\"languages\">\n<h2>By language</h2>\n";
    out += Legend({{COLOUR_SUCCEEDED, "success"}, {COLOUR_FAILED, "failed"},
                   {COLOUR_CUT_OFF, "cut off"}});
    out += LanguagesPageSvg(f);
    out += "<table>\n<thead><tr><th>Language</th><th class=\"n\">Started</th><th class=\"n\">Success"
           "</th><th class=\"n\">Failed</th><th class=\"n\">Cut off</th><th class=\"n\">Cancel"
           "</th></tr></thead>\n<tbody>\n" +
           rows + "</tbody>\n</table>\n";
    return out + "</section>\n";
}

std::string SpreadRow(const char* what, const Spread& spread, bool bytes)
{
    auto value = [&](std::uint32_t v) { return bytes ? Bytes(v) : Grouped(v) + " s"; };
    if (spread.count == 0)
        return std::string("<tr><td>") + what + "</td><td colspan=\"3\">none</td></tr>\n";
    // Read from buckets: within 1 % unless every value counted was small.
    const char* near = spread.exact ? "" : "~";
    return std::string("<tr><td>") + what + "</td><td class=\"n\">" + near + value(spread.median) +
           "</td><td class=\"n\">" + near + value(spread.p95) + "</td><td class=\"n\">" +
           Grouped(spread.count) + "</td></tr>\n";
}

std::string SpreadSection(const Funnel& f)
{
    std::string out = "<section id=\"spread\">\n<h2>Duration and size</h2>\n";
    out += "<table>\n<thead><tr><th></th><th class=\"n\">Median</th><th class=\"n\">95th percentile"
           "</th><th class=\"n\">Of</th></tr></thead>\n<tbody>\n";
    out += SpreadRow("Seconds to success", f.successSeconds, false);
    out += SpreadRow("Bytes of a success", f.successBytes, true);
    out += SpreadRow("Seconds to failure", f.failureSeconds, false);
    out += SpreadRow("Bytes of a failure", f.failureBytes, true);
    out += "</tbody>\n</table>\n";
    if (!(f.successSeconds.exact && f.successBytes.exact && f.failureSeconds.exact && f.failureBytes.exact))
        out += "<p>~: within 1 % (read from the summaries' buckets).</p>\n";
    return out + "</section>\n";
}

std::string ReportCell(const Report& report)
{
    if (report.kind == ReportKind::Failure)
        return Format("failure %u", report.code);
    return KindName(report.kind);
}

std::string LatestSection(const std::vector<StoredReport>& latest)
{
    std::string out = "<section id=\"latest\" class=\"wide\">\n<h2>Latest reports</h2>\n";
    if (latest.empty())
        return out + "<p>No reports yet.</p>\n</section>\n";
    out += "<table class=\"latest\">\n<thead><tr><th>Received (UTC)</th><th>Report"
           "</th><th>Windows</th><th class=\"n\">Seconds</th><th class=\"n\">Bytes</th><th>Download "
           "URL</th><th>User agent</th></tr></thead>\n<tbody>\n";
    for (const StoredReport& stored : latest) {
        const Report& r = stored.report;
        bool result = r.kind != ReportKind::Start;
        out += "<tr><td data-label=\"Received\">" + UtcFormatted(stored.receivedMs, "%Y-%m-%d %H:%M:%S") +
               "</td><td data-label=\"Report\">" + ReportCell(r) +
               "</td><td data-label=\"Windows\">" +
               Format("%u.%u %s", r.osMajor, r.osMinor, r.ntLine ? "nt" : "win") +
               "</td><td class=\"n\" data-label=\"Seconds\">" + (result ? Grouped(r.seconds) : "") +
               "</td><td class=\"n\" data-label=\"Bytes\">" + (result ? Grouped(r.bytes) : "") +
               "</td><td class=\"text\" data-label=\"Download URL\">" + HtmlText(r.currentUrl) +
               "</td><td class=\"text\" data-label=\"User agent\">" + HtmlText(stored.userAgent) +
               "</td></tr>\n";
    }
    return out + "</tbody>\n</table>\n</section>\n";
}

}  // namespace

std::uint64_t CutOff(const KindCounts& counts)
{
    std::uint64_t results = counts.succeeded + counts.failed;
    return counts.started > results ? counts.started - results : 0;
}

HourlySeries HourlySeriesEnding(std::int64_t nowMs)
{
    HourlySeries series;
    series.firstHourMs = HourOf(nowMs) - static_cast<std::int64_t>(HOURS_SHOWN - 1) * HOUR_MS;
    return series;
}

void CountInHour(HourlySeries* series, std::int64_t receivedMs, ReportKind kind, std::uint64_t count)
{
    if (receivedMs < series->firstHourMs)
        return;
    std::uint64_t index = static_cast<std::uint64_t>((receivedMs - series->firstHourMs) / HOUR_MS);
    // A collector whose clock runs ahead of this one's: not yet in the chart.
    if (index >= series->hours.size())
        return;
    if (kind == ReportKind::Start)
        series->hours[index].attempts += count;
    else if (kind == ReportKind::Success)
        series->hours[index].successes += count;
}

Dashboard DashboardOf(const Summaries& summaries, const Period& period, std::vector<StoredReport> latest,
                      std::int64_t nowMs)
{
    Dashboard dashboard;
    dashboard.updatedMs = nowMs;
    dashboard.funnel = FunnelOf(summaries, period);
    const KindCounts& all = dashboard.funnel.all;
    dashboard.reports = all.started + all.succeeded + all.failed + all.cancelled;
    dashboard.hourly = HourlySeriesEnding(std::min(nowMs, period.ToMs() - 1));
    for (const auto& [hourMs, counts] : summaries.hourly) {
        CountInHour(&dashboard.hourly, hourMs, ReportKind::Start, counts.first);
        CountInHour(&dashboard.hourly, hourMs, ReportKind::Success, counts.second);
    }
    dashboard.latest = std::move(latest);
    return dashboard;
}

void DashboardBuilder::Add(const StoredReport& stored)
{
    delta_.AddReport(stored.receivedMs, stored.client, stored.report);
    reports_.push_back(stored);
}

Dashboard DashboardBuilder::Finish(std::uint64_t malformed)
{
    // The newest by the time received, which is the order of arrival for
    // one collector but not always for reports that several stored.
    std::stable_sort(reports_.begin(), reports_.end(),
                     [](const StoredReport& a, const StoredReport& b) { return a.receivedMs > b.receivedMs; });
    if (reports_.size() > LATEST_REPORTS_SHOWN)
        reports_.resize(LATEST_REPORTS_SHOWN);
    Summaries summaries = SummariesOf(delta_, Period{});
    summaries.malformed = malformed;
    return DashboardOf(summaries, Period{}, reports_, nowMs_);
}

Dashboard ReadDashboard(ReportStore& store, std::int64_t nowMs, const Period& period)
{
    Summaries summaries = store.ReadSummaries(period);
    return DashboardOf(summaries, period, store.Latest(LATEST_REPORTS_SHOWN), nowMs);
}

std::string HtmlText(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            if (c >= 0x20 && c < 0x7f)
                out += static_cast<char>(c);
            else if (c >= 0xa0)
                out += Format("&#x%02X;", c);
            else
                out += Format("\\x%02X", c);
        }
    }
    return out;
}

std::string UtcTime(std::int64_t unixMs)
{
    return UtcFormatted(unixMs, "%Y-%m-%d %H:%M:%S UTC");
}

std::string DashboardHtml(const Dashboard& d)
{
    const Funnel& f = d.funnel;
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<meta http-equiv=\"refresh\" content=\"" + std::to_string(DASHBOARD_REFRESH_SECONDS) + "\">\n"
        "<title>Lumenvast Player downloads</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
    out += "<header>\n<h1>Lumenvast Player downloads</h1>\n<p class=\"updated\">Updated <time datetime=\"" +
           UtcFormatted(d.updatedMs, "%Y-%m-%dT%H:%M:%SZ") + "\">" + UtcTime(d.updatedMs) +
           "</time>; refreshes every " + std::to_string(DASHBOARD_REFRESH_SECONDS) + " s. Period: " +
           PeriodText(f) + ": " + Grouped(d.reports) + " reports, " + Grouped(f.malformed) +
           " malformed queries.</p>\n";
    out += Figures(d);
    out += "</header>\n<main>\n";
    out += "<div class=\"column\">\n<section id=\"funnel\">\n<h2>Funnel</h2>\n" + FunnelPageSvg(f) +
           "</section>\n" + LanguagesSection(f) + "</div>\n";
    out += "<div class=\"column\">\n" + VersionsSection(f) + SpreadSection(f) + "</div>\n";
    out += HourlySection(d.hourly);
    out += LatestSection(d.latest);
    out += "</main>\n<footer>The same figures for scripts: <a href=\"/summary.json\">/summary.json</a>. "
           "A period of whole UTC days: ?from=YYYY-MM-DD&amp;to=YYYY-MM-DD. Clients are counted per day, "
           "from keyed hashes of their addresses; no address is kept.";
    if (!f.ownKeyDays.empty()) {
        out += " Counted apart, by a collector that had no key of the fleet:";
        for (std::int64_t day : f.ownKeyDays)
            out += " " + DayText(day);
        out += ".";
    }
    out += "</footer>\n</body>\n</html>\n";
    return out;
}

}  // namespace lvcollect
