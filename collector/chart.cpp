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
constexpr int CODE_ROW = 46;            // a code's text above its bar
constexpr std::size_t MAX_CHART_CODES = 10;   // the rest share one bar
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

}  // namespace

std::string FunnelChartSvg(const Funnel& f)
{
    const KindCounts& all = f.all;
    std::vector<std::pair<std::string, std::uint64_t>> codes;
    for (const auto& [code, count] : f.failedByCode)
        codes.emplace_back(CodeLabel(code), count);
    std::stable_sort(codes.begin(), codes.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    if (codes.size() > MAX_CHART_CODES) {
        std::uint64_t rest = 0;
        for (std::size_t i = MAX_CHART_CODES - 1; i < codes.size(); ++i)
            rest += codes[i].second;
        std::size_t others = codes.size() - (MAX_CHART_CODES - 1);
        codes.resize(MAX_CHART_CODES - 1);
        codes.emplace_back(std::to_string(others) + " other codes", rest);
    }

    const int funnelTop = 80;
    const int codesTop = funnelTop + 4 * ROW + 56;
    const int height = codesTop + std::max<int>(1, static_cast<int>(codes.size())) * CODE_ROW + MARGIN;
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

    svg += Text(MARGIN, codesTop - 16, 16, "Failures by code", " font-weight=\"bold\"");
    y = codesTop;
    if (codes.empty())
        svg += Text(MARGIN, y + 18, 14, "No failures.");
    for (const auto& [label, count] : codes) {
        svg += Text(MARGIN, y + 12, 13, label);
        // On the funnel's scale, so that a code's bar compares with the steps'.
        svg += Bar(MARGIN, y + 17, count, scale, "#c8453b");
        int barEnd = MARGIN + static_cast<int>(BAR_AREA * static_cast<double>(count) / scale);
        svg += Text(barEnd + 8, y + 35, 13, CountLabel(count, all.started));
        y += CODE_ROW;
    }
    return svg + "</svg>\n";
}

}  // namespace lvcollect
