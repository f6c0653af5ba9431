// The funnel as charts: one SVG file of plain rectangles and text for a
// vendor's report, which any browser, office suite or converter reads, and
// the narrower charts of the dashboard page, which a phone shows at its
// width without making the text too small to read.
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "collector/dashboard.h"
#include "collector/funnel.h"

namespace lvcollect {
namespace {

constexpr int WIDTH = 760;              // the chart file
constexpr int PAGE_WIDTH = 400;         // the dashboard's charts, drawn at up to 460 pixels
constexpr int MARGIN = 24;
constexpr int PAGE_MARGIN = 4;          // the page has margins of its own
constexpr int LABEL_WIDTH = 220;        // the file's funnel labels, left of the bars
constexpr int COUNT_WIDTH = 150;        // "1234567 (100.0%)" right of a bar
constexpr int PAGE_COUNT_WIDTH = 136;   // "100.0% success"
constexpr int BAR_HEIGHT = 26;
constexpr int PAGE_BAR_HEIGHT = 20;
// A phone shows the page charts at about 350 pixels: 14-pixel text.
constexpr int PAGE_FONT_SIZE = 16;
constexpr int LINE_GAP = 3;             // between a label's lines
constexpr int ROW_GAP = 10;
constexpr int SECTION_GAP = 56;         // the file's sections
constexpr std::size_t MAX_CHART_ROWS = 10;    // of a breakdown; the rest share one bar
constexpr std::size_t MAX_LABEL_CHARS = 90;   // the file's code labels: one line
// DejaVu Sans averages about 0.55 em per character in these texts.
constexpr double CHARACTER_EMS = 0.55;
constexpr std::size_t MAX_PAGE_LABEL_LINES = 3;
// The hourly chart is stretched to the page's width: one unit per hour
// across, HOURLY_HEIGHT units up.
constexpr int HOURLY_HEIGHT = 100;
constexpr double HOURLY_BAR = 0.8;      // of an hour's width; the rest is the gap

const char kFont[] = "font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\"";

std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    std::string out = text;
    while (out.back() == '0')
        out.pop_back();
    if (out.back() == '.')
        out.pop_back();
    return out;
}

std::string Text(int x, int y, int size, const std::string& text, const char* extra = "")
{
    return "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" " + kFont +
           " font-size=\"" + std::to_string(size) + "\" fill=\"#222222\"" + extra + ">" +
           Escaped(text) + "</text>\n";
}

std::string Rect(double x, double y, double width, double height, const char* colour,
                 const std::string& title = "")
{
    std::string rect = "<rect x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" width=\"" +
                       Number(width) + "\" height=\"" + Number(height) + "\" fill=\"" + colour + "\"";
    if (title.empty())
        return rect + "/>\n";
    return rect + "><title>" + Escaped(title) + "</title></rect>\n";
}

std::string SvgOpen(int width, int height, const std::string& label)
{
    std::string w = std::to_string(width), h = std::to_string(height);
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h +
                      "\" viewBox=\"0 0 " + w + " " + h + "\"";
    if (!label.empty())
        svg += " role=\"img\" aria-label=\"" + Escaped(label) + "\"";
    return svg + ">\n";
}

std::string CountLabel(std::uint64_t value, std::uint64_t started)
{
    char share[32] = "";
    if (started > 0)
        snprintf(share, sizeof share, "  (%.1f%%)", 100.0 * value / started);
    return std::to_string(value) + share;
}

std::string CodeLabel(std::uint32_t code)
{
    const char* text = CatalogueText(code);
    return std::to_string(code) + "  " + (text ? text : "(no catalogue text)");
}

// At most `width` characters a line, broken at blanks where there are any;
// the last line of MAX_PAGE_LABEL_LINES ends in "..." when text is left.
std::vector<std::string> Wrapped(const std::string& text, std::size_t width)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        while (start < text.size() && text[start] == ' ')
            ++start;
        std::size_t end = start + width;
        if (end >= text.size()) {
            end = text.size();
        } else {
            std::size_t blank = text.rfind(' ', end);
            if (blank != std::string::npos && blank > start)
                end = blank;
        }
        std::string line = text.substr(start, end - start);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        start = end;
        if (lines.size() == MAX_PAGE_LABEL_LINES && text.find_first_not_of(' ', start) != std::string::npos) {
            std::string& last = lines.back();
            if (last.size() + 3 > width)
                last.resize(width - 3);
            last += "...";
            break;
        }
    }
    return lines;
}

struct Segment {
    std::uint64_t value;
    const char* colour;
};

// One bar of a chart: its label, its value or the stacked parts of it, and
// the figure written beside it.
struct Row {
    std::vector<std::string> label;
    std::vector<Segment> segments;
    std::string count;
};

struct RowStyle {
    int width;          // of the whole chart
    int margin;
    int labelWidth;     // 0: the label stands above its bar
    int countWidth;
    int fontSize;
    int barHeight;
};

int BarArea(const RowStyle& style)
{
    return style.width - 2 * style.margin - style.labelWidth - style.countWidth;
}

int BarWidth(std::uint64_t value, std::uint64_t scale, int area)
{
    int width = scale == 0 ? 0 : static_cast<int>(area * static_cast<double>(value) / scale);
    return value > 0 && width < 2 ? 2 : width;
}

int RowHeight(const Row& row, const RowStyle& style)
{
    int labelLines = style.labelWidth ? 0 : static_cast<int>(row.label.size());
    return labelLines * (style.fontSize + LINE_GAP) + style.barHeight + ROW_GAP;
}

int RowsHeight(const std::vector<Row>& rows, const RowStyle& style)
{
    int height = 0;
    for (const Row& row : rows)
        height += RowHeight(row, style);
    return height;
}

// Draws the rows from `top` down, all on one scale.
void DrawRows(std::string* svg, const std::vector<Row>& rows, std::uint64_t scale,
              const RowStyle& style, int top)
{
    const int area = BarArea(style);
    int y = top;
    for (const Row& row : rows) {
        int barTop = y;
        if (style.labelWidth) {
            *svg += Text(style.margin, y + style.barHeight / 2 + style.fontSize / 3, style.fontSize,
                         row.label.empty() ? std::string() : row.label.front());
        } else {
            for (const std::string& line : row.label) {
                barTop += style.fontSize;
                *svg += Text(style.margin, barTop - 2, style.fontSize, line);
                barTop += LINE_GAP;
            }
        }
        int x = style.margin + style.labelWidth;
        for (const Segment& segment : row.segments) {
            int width = BarWidth(segment.value, scale, area);
            if (width > 0)
                *svg += Rect(x, barTop, width, style.barHeight, segment.colour);
            x += width;
        }
        *svg += Text(x + 8, barTop + style.barHeight / 2 + style.fontSize / 3, style.fontSize,
                     row.count);
        y += RowHeight(row, style);
    }
}

std::vector<Row> StepRows(const Funnel& f, std::size_t labelChars)
{
    const KindCounts& all = f.all;
    struct Step {
        const char* label;
        std::uint64_t value;
        const char* colour;
    };
    const Step steps[] = {{"Attempts started", all.started, COLOUR_STARTED},
                          {"Ended in success", all.succeeded, COLOUR_SUCCEEDED},
                          {"Failed", all.failed, COLOUR_FAILED},
                          {"No result report (cut off)", CutOff(all), COLOUR_CUT_OFF},
                          {"Cancelled (window closed)", all.cancelled, COLOUR_CANCELLED}};
    std::vector<Row> rows;
    for (const Step& step : steps)
        rows.push_back({Wrapped(step.label, labelChars), {{step.value, step.colour}},
                        CountLabel(step.value, all.started)});
    return rows;
}

// One labelled bar of a breakdown: a failure code, or a Windows version.
struct Item {
    std::string label;
    std::uint64_t value;
    std::string note;   // after the count
};

// The largest first (ties keep their order); beyond MAX_CHART_ROWS the rest
// share one row.
std::vector<Item> Largest(std::vector<Item> items, const char* others)
{
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& a, const Item& b) { return a.value > b.value; });
    if (items.size() > MAX_CHART_ROWS) {
        std::uint64_t rest = 0;
        for (std::size_t i = MAX_CHART_ROWS - 1; i < items.size(); ++i)
            rest += items[i].value;
        std::size_t count = items.size() - (MAX_CHART_ROWS - 1);
        items.resize(MAX_CHART_ROWS - 1);
        items.push_back({std::to_string(count) + " " + others, rest, ""});
    }
    return items;
}

std::vector<Item> CodeItems(const Funnel& f)
{
    std::vector<Item> codes;
    for (const auto& [code, count] : f.failedByCode)
        codes.push_back({CodeLabel(code), count, ""});
    return Largest(codes, "other codes");
}

// Labels wrapped into lines of `labelChars`, or cut to one line.
std::vector<Row> BreakdownRows(const std::vector<Item>& items, std::size_t labelChars, bool wrap,
                               std::uint64_t started, const char* colour)
{
    std::vector<Row> rows;
    for (const Item& item : items) {
        std::vector<std::string> lines;
        if (wrap) {
            lines = Wrapped(item.label, labelChars);
        } else {
            std::string label = item.label;
            if (label.size() > labelChars)
                label = label.substr(0, labelChars - 3) + "...";
            lines.push_back(label);
        }
        rows.push_back({lines, {{item.value, colour}}, CountLabel(item.value, started) + item.note});
    }
    return rows;
}

// A breakdown's title and rows from `top`, on the funnel's scale, so that a
// row's bar compares with the steps'.
std::string Breakdown(const char* title, const char* none, const std::vector<Row>& rows, int top,
                      std::uint64_t scale, const RowStyle& style)
{
    std::string svg = Text(style.margin, top - 16, 16, title, " font-weight=\"bold\"");
    if (rows.empty())
        svg += Text(style.margin, top + 18, 14, none);
    DrawRows(&svg, rows, scale, style, top);
    return svg;
}

int BreakdownHeight(const std::vector<Row>& rows, const RowStyle& style)
{
    return rows.empty() ? 30 : RowsHeight(rows, style);
}

std::uint64_t FunnelScale(const Funnel& f)
{
    const KindCounts& all = f.all;
    return std::max({all.started, all.succeeded, all.failed, all.cancelled});
}

std::size_t CharsIn(int width, int fontSize)
{
    return static_cast<std::size_t>(width / (fontSize * CHARACTER_EMS));
}

const RowStyle kPageStyle = {PAGE_WIDTH, PAGE_MARGIN, 0, PAGE_COUNT_WIDTH, PAGE_FONT_SIZE, PAGE_BAR_HEIGHT};
const std::size_t kPageLabelChars = CharsIn(PAGE_WIDTH - 2 * PAGE_MARGIN, PAGE_FONT_SIZE);

}  // namespace

std::string FunnelChartSvg(const Funnel& f)
{
    const RowStyle stepStyle = {WIDTH, MARGIN, LABEL_WIDTH, COUNT_WIDTH, 14, BAR_HEIGHT};
    const RowStyle breakdownStyle = {WIDTH, MARGIN, 0, COUNT_WIDTH + 100, 13, BAR_HEIGHT};
    std::vector<Row> steps = StepRows(f, MAX_LABEL_CHARS);
    std::vector<Row> codes =
        BreakdownRows(CodeItems(f), MAX_LABEL_CHARS, false, f.all.started, COLOUR_FAILED);
    std::vector<Item> versionItems;
    for (const auto& [key, counts] : VersionsInOrder(f))
        versionItems.push_back({VersionLabel(key, *counts), counts->started,
                                ", " + std::to_string(counts->succeeded) + " ended in success"});
    std::vector<Row> versions = BreakdownRows(Largest(versionItems, "other versions"), MAX_LABEL_CHARS,
                                              false, f.all.started, COLOUR_STARTED);

    const int funnelTop = 80;
    const int codesTop = funnelTop + RowsHeight(steps, stepStyle) + SECTION_GAP;
    const int versionsTop = codesTop + BreakdownHeight(codes, breakdownStyle) + SECTION_GAP;
    const int height = versionsTop + BreakdownHeight(versions, breakdownStyle) + MARGIN;
    std::uint64_t scale = FunnelScale(f);

    std::string svg = SvgOpen(WIDTH, height, "");
    svg += Rect(0, 0, WIDTH, height, "#ffffff");
    svg += Text(MARGIN, 36, 20, "Lumenvast Player downloads", " font-weight=\"bold\"");
    svg += Text(MARGIN, 60, 13, "Clients: " + std::to_string(f.clients) + ", of which " +
                                    std::to_string(f.clientsRetried) + " needed Try Again. " +
                                    "Malformed queries: " + std::to_string(f.malformed) + ".");
    DrawRows(&svg, steps, scale, stepStyle, funnelTop);
    svg += Breakdown("Failures by code", "No failures.", codes, codesTop, scale, breakdownStyle);
    svg += Breakdown("Attempts started by Windows version", "No attempts.", versions, versionsTop,
                     scale, breakdownStyle);
    return svg + "</svg>\n";
}

std::string FunnelPageSvg(const Funnel& f)
{
    std::vector<Row> steps = StepRows(f, kPageLabelChars);
    std::vector<Row> codes = BreakdownRows(CodeItems(f), kPageLabelChars, true, f.all.started, COLOUR_FAILED);
    const int codesTop = RowsHeight(steps, kPageStyle) + 36;
    const int height = codesTop + BreakdownHeight(codes, kPageStyle) - 6;
    std::string svg = SvgOpen(PAGE_WIDTH, height, "The funnel of the download attempts");
    DrawRows(&svg, steps, FunnelScale(f), kPageStyle, 0);
    svg += Breakdown("Failures by code", "No failures.", codes, codesTop, FunnelScale(f), kPageStyle);
    return svg + "</svg>\n";
}

// One row per breakdown's entry: its label with the attempts started, and
// its successes, failures and cut-off attempts as bars.
std::string CountsPageSvg(const std::vector<std::pair<std::string, const KindCounts*>>& entries,
                          const char* title)
{
    std::vector<Row> rows;
    std::uint64_t scale = 0;
    for (const auto& [label, counts] : entries) {
        std::string share = "-";
        if (counts->started > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%.1f%%", 100.0 * counts->succeeded / counts->started);
            share = text;
        }
        rows.push_back({Wrapped(label + ": " + std::to_string(counts->started) + " started", kPageLabelChars),
                        {{counts->succeeded, COLOUR_SUCCEEDED}, {counts->failed, COLOUR_FAILED},
                         {CutOff(*counts), COLOUR_CUT_OFF}},
                        share + " success"});
        scale = std::max({scale, counts->started, counts->succeeded + counts->failed});
    }
    const int height = rows.empty() ? 24 : RowsHeight(rows, kPageStyle);
    std::string svg = SvgOpen(PAGE_WIDTH, height, title);
    if (rows.empty())
        svg += Text(PAGE_MARGIN, 16, PAGE_FONT_SIZE, "No reports yet.");
    DrawRows(&svg, rows, scale, kPageStyle, 0);
    return svg + "</svg>\n";
}

std::string VersionsPageSvg(const Funnel& f)
{
    std::vector<std::pair<std::string, const KindCounts*>> entries;
    for (const auto& [key, counts] : VersionsInOrder(f))
        entries.emplace_back(VersionLabel(key, *counts), counts);
    return CountsPageSvg(entries, "The attempts by Windows version");
}

std::string LanguagesPageSvg(const Funnel& f)
{
    std::vector<std::pair<std::string, const KindCounts*>> entries;
    for (const auto& [language, counts] : f.byLanguage)
        entries.emplace_back(LanguageLabel(language), &counts);
    return CountsPageSvg(entries, "The attempts by language");
}

std::string HourlyPageSvg(const HourlySeries& series)
{
    std::uint64_t peak = 0;
    for (const HourCounts& hour : series.hours)
        peak = std::max({peak, hour.attempts, hour.successes});
    const int width = static_cast<int>(series.hours.size());
    // No text inside: the page stretches this chart to its width, and writes
    // the days and the peak beneath it in its own type.
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                      std::to_string(width) + " " + std::to_string(HOURLY_HEIGHT) +
                      "\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"Attempts and "
                      "successes per hour over the last 7 days\">\n";
    svg += Rect(0, 0, width, HOURLY_HEIGHT, "#f4f6f9");
    for (std::size_t i = 0; i < series.hours.size(); ++i) {
        std::int64_t hourMs = series.firstHourMs + static_cast<std::int64_t>(i) * HOUR_MS;
        if (hourMs % (24 * HOUR_MS) == 0 && i > 0)
            svg += "<line x1=\"" + std::to_string(i) + "\" y1=\"0\" x2=\"" + std::to_string(i) +
                   "\" y2=\"" + std::to_string(HOURLY_HEIGHT) +
                   "\" stroke=\"#c9ced6\" stroke-width=\"1\" vector-effect=\"non-scaling-stroke\"/>\n";
        const HourCounts& hour = series.hours[i];
        if (peak == 0 || (hour.attempts == 0 && hour.successes == 0))
            continue;
        std::string title = UtcTime(hourMs).substr(0, 13) + ":00 UTC: " +
                            std::to_string(hour.attempts) + " attempts, " +
                            std::to_string(hour.successes) + " successes";
        // A single report still shows: at least one unit high.
        auto height = [&](std::uint64_t value) {
            return value == 0 ? 0.0 : std::max(1.0, HOURLY_HEIGHT * static_cast<double>(value) / peak);
        };
        double x = i + (1 - HOURLY_BAR) / 2;
        double attempts = height(hour.attempts), successes = height(hour.successes);
        if (attempts > 0)
            svg += Rect(x, HOURLY_HEIGHT - attempts, HOURLY_BAR, attempts, COLOUR_ATTEMPTS_LIGHT, title);
        if (successes > 0)
            svg += Rect(x, HOURLY_HEIGHT - successes, HOURLY_BAR, successes, COLOUR_SUCCEEDED, title);
    }
    return svg + "</svg>\n";
}

}  // namespace lvcollect
