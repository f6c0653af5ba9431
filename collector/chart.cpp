// The funnel as a chart for a vendor's report: one SVG file of plain
// rectangles and text, which any browser, office suite or converter reads.
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "collector/funnel.h"

namespace lvcollect {
namespace {

constexpr int WIDTH = 760;
constexpr int MARGIN = 24;
constexpr int LABEL_WIDTH = 220;        // funnel labels, left of the bars
constexpr int BAR_AREA = WIDTH - 2 * MARGIN - LABEL_WIDTH - 150;
constexpr int BAR_HEIGHT = 26;
constexpr int ROW = 36;
constexpr int CODE_ROW = 46;            // a code's or version's text above its bar
constexpr int SECTION_GAP = 56;
constexpr std::size_t MAX_CHART_ROWS = 10;    // of a breakdown; the rest share one bar
constexpr std::size_t MAX_LABEL_CHARS = 90;

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

std::string Text(int x, int y, int size, const std::string& text, const char* extra = "")
{
    return "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" " + kFont +
           " font-size=\"" + std::to_string(size) + "\" fill=\"#222222\"" + extra + ">" +
           Escaped(text) + "</text>\n";
}

std::string Bar(int x, int y, std::uint64_t value, std::uint64_t scale, const char* colour)
{
    int width = scale == 0 ? 0 : static_cast<int>(BAR_AREA * static_cast<double>(value) / scale);
    if (value > 0 && width < 2)
        width = 2;
    return "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" width=\"" +
           std::to_string(width) + "\" height=\"" + std::to_string(BAR_HEIGHT) + "\" fill=\"" +
           colour + "\"/>\n";
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
    std::string label = std::to_string(code) + "  " + (text ? text : "(no catalogue text)");
    if (label.size() > MAX_LABEL_CHARS)
        label = label.substr(0, MAX_LABEL_CHARS - 3) + "...";
    return label;
}

// One labelled bar of a breakdown: a failure code, or a Windows version.
struct Row {
    std::string label;
    std::uint64_t value;
    std::string note;   // after the count
};

// The largest first (ties keep their order); beyond MAX_CHART_ROWS the rest
// share one row.
std::vector<Row> Largest(std::vector<Row> rows, const char* others)
{
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& a, const Row& b) { return a.value > b.value; });
    if (rows.size() > MAX_CHART_ROWS) {
        std::uint64_t rest = 0;
        for (std::size_t i = MAX_CHART_ROWS - 1; i < rows.size(); ++i)
            rest += rows[i].value;
        std::size_t count = rows.size() - (MAX_CHART_ROWS - 1);
        rows.resize(MAX_CHART_ROWS - 1);
        rows.push_back({std::to_string(count) + " " + others, rest, ""});
    }
    return rows;
}

int RowsHeight(const std::vector<Row>& rows)
{
    return std::max<int>(1, static_cast<int>(rows.size())) * CODE_ROW;
}

// A breakdown's title and rows from top, on the funnel's scale, so that a
// row's bar compares with the steps'.
std::string Breakdown(const char* title, const char* none, const std::vector<Row>& rows, int top,
                      std::uint64_t scale, std::uint64_t started, const char* colour)
{
    std::string svg = Text(MARGIN, top - 16, 16, title, " font-weight=\"bold\"");
    int y = top;
    if (rows.empty())
        svg += Text(MARGIN, y + 18, 14, none);
    for (const Row& row : rows) {
        svg += Text(MARGIN, y + 12, 13, row.label);
        svg += Bar(MARGIN, y + 17, row.value, scale, colour);
        int barEnd = MARGIN + (scale == 0 ? 0 : static_cast<int>(BAR_AREA * static_cast<double>(row.value) /
                                                                 scale));
        svg += Text(barEnd + 8, y + 35, 13, CountLabel(row.value, started) + row.note);
        y += CODE_ROW;
    }
    return svg;
}

}  // namespace

std::string FunnelChartSvg(const Funnel& f)
{
    const KindCounts& all = f.all;
    std::vector<Row> codes;
    for (const auto& [code, count] : f.failedByCode)
        codes.push_back({CodeLabel(code), count, ""});
    codes = Largest(codes, "other codes");
    std::vector<Row> versions;
    for (const auto& [key, counts] : VersionsInOrder(f))
        versions.push_back({VersionLabel(key, *counts), counts->started,
                            ", " + std::to_string(counts->succeeded) + " ended in success"});
    versions = Largest(versions, "other versions");

    const int funnelTop = 80;
    const int codesTop = funnelTop + 4 * ROW + SECTION_GAP;
    const int versionsTop = codesTop + RowsHeight(codes) + SECTION_GAP;
    const int height = versionsTop + RowsHeight(versions) + MARGIN;
    std::uint64_t scale = std::max({all.started, all.succeeded, all.failed, all.cancelled});
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(WIDTH) +
                      "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
                      std::to_string(WIDTH) + " " + std::to_string(height) + "\">\n";
    svg += "<rect x=\"0\" y=\"0\" width=\"" + std::to_string(WIDTH) + "\" height=\"" +
           std::to_string(height) + "\" fill=\"#ffffff\"/>\n";
    svg += Text(MARGIN, 36, 20, "Lumenvast Player downloads", " font-weight=\"bold\"");
    svg += Text(MARGIN, 60, 13, "Clients: " + std::to_string(f.clients) + ", of which " +
                                    std::to_string(f.clientsRetried) + " needed Try Again. " +
                                    "Malformed queries: " + std::to_string(f.malformed) + ".");

    struct Step {
        const char* label;
        std::uint64_t value;
        const char* colour;
    };
    const Step steps[] = {{"Attempts started", all.started, "#4a6fa5"},
                          {"Ended in success", all.succeeded, "#3d9a50"},
                          {"Failed", all.failed, "#c8453b"},
                          {"Cancelled (window closed)", all.cancelled, "#d99a2b"}};
    int y = funnelTop;
    for (const Step& step : steps) {
        svg += Text(MARGIN, y + 18, 14, step.label);
        svg += Bar(MARGIN + LABEL_WIDTH, y, step.value, scale, step.colour);
        int barEnd = MARGIN + LABEL_WIDTH +
                     (scale == 0 ? 0 : static_cast<int>(BAR_AREA * static_cast<double>(step.value) / scale));
        svg += Text(barEnd + 8, y + 18, 14, CountLabel(step.value, all.started));
        y += ROW;
    }

    svg += Breakdown("Failures by code", "No failures.", codes, codesTop, scale, all.started,
                     "#c8453b");
    svg += Breakdown("Attempts started by Windows version", "No attempts.", versions, versionsTop,
                     scale, all.started, "#4a6fa5");
    return svg + "</svg>\n";
}

}  // namespace lvcollect
