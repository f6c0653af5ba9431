#include "collector/funnel.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <strings.h>
#include <tuple>

#include "job/result_codes.h"

namespace lvcollect {
namespace {

struct CatalogueEntry {
    std::uint32_t code;
    const char* text;
};

// Generated at build time from res/catalogue.rc, so that the collector names
// the codes with the very texts the dialog shows.
const CatalogueEntry kCatalogue[] = {
#include "catalogue_messages.inc"
};

// What GetVersionExA reports on each Windows. 4.0 is both Windows 95 and NT
// 4.0, told apart by the line. Programs whose manifest names no later
// version are told 6.2 on Windows 8.1, 10 and 11, and the reports carry no
// build number: 6.2 is Windows 8 itself only from downloaders that carry
// such a manifest.
struct WindowsVersion {
    std::uint32_t major;
    std::uint32_t minor;
    bool ntLine;
    const char* name;
};

const WindowsVersion kWindowsVersions[] = {
    {4, 0, false, "Windows 95"},
    {4, 10, false, "Windows 98"},
    {4, 90, false, "Windows Me"},
    {4, 0, true, "Windows NT 4.0"},
    {5, 0, true, "Windows 2000"},
    {5, 1, true, "Windows XP"},
    {5, 2, true, "Windows XP x64 or Server 2003"},
    {6, 0, true, "Windows Vista"},
    {6, 1, true, "Windows 7"},
    {6, 2, true, "Windows 8, or later from older builds"},
    {6, 3, true, "Windows 8.1"},
    {10, 0, true, "Windows 10 or 11"},
};

// The table of the languages a build is made in: {oslanguage, "code", "name"}.
struct Language {
    std::uint32_t id;
    const char* code;
    const char* name;
};

const Language kLanguages[] = {
#include "languages.inc"
};

// Nearest rank over buckets: the smallest value with at least p of all
// values at or below it, as its bucket reads.
Spread SpreadOf(const std::map<std::uint32_t, std::uint64_t>& buckets)
{
    Spread spread;
    for (const auto& [bucket, count] : buckets)
        spread.count += count;
    if (spread.count == 0)
        return spread;
    std::uint64_t medianRank = (spread.count * 50 + 99) / 100;
    std::uint64_t p95Rank = (spread.count * 95 + 99) / 100;
    std::uint64_t seen = 0;
    bool medianFound = false;
    for (const auto& [bucket, count] : buckets) {
        seen += count;
        if (!medianFound && seen >= medianRank) {
            spread.median = BucketValue(bucket);
            spread.exact = bucket < EXACT_BELOW;
            medianFound = true;
        }
        if (seen >= p95Rank) {
            spread.p95 = BucketValue(bucket);
            spread.exact = spread.exact && bucket < EXACT_BELOW;
            break;
        }
    }
    return spread;
}

std::string OsKey(const Report& report)
{
    return std::to_string(report.osMajor) + "." + std::to_string(report.osMinor) +
           (report.ntLine ? " nt" : " win");
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    return line;
}

std::string Share(std::uint64_t part, std::uint64_t whole)
{
    return whole == 0 ? std::string("-") : Format("%.1f%%", 100.0 * part / whole);
}

std::string SpreadLine(const char* what, const Spread& spread, const char* unit)
{
    if (spread.count == 0)
        return Format("  %-28s none\n", what);
    return Format("  %-28s median %u %s, 95th percentile %u %s, of %llu%s\n", what,
                  spread.median, unit, spread.p95, unit,
                  static_cast<unsigned long long>(spread.count), spread.exact ? "" : " (within 1 %)");
}

// A JSON string of bytes that may not be UTF-8: every byte above 127 is
// taken as the character of that number.
std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            out += Format("\\u%04x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonVersion(const VersionCounts& counts)
{
    const char* name = WindowsName(counts.major, counts.minor, counts.ntLine);
    return Format("{\"windows\": %s, \"started\": %llu, \"succeeded\": %llu, \"failed\": %llu, "
                  "\"cancelled\": %llu}",
                  name ? JsonString(name).c_str() : "null",
                  static_cast<unsigned long long>(counts.started),
                  static_cast<unsigned long long>(counts.succeeded),
                  static_cast<unsigned long long>(counts.failed),
                  static_cast<unsigned long long>(counts.cancelled));
}

std::string JsonSpread(const Spread& spread)
{
    if (spread.count == 0)
        return "{\"count\": 0, \"median\": null, \"p95\": null, \"exact\": true}";
    return Format("{\"count\": %llu, \"median\": %u, \"p95\": %u, \"exact\": %s}",
                  static_cast<unsigned long long>(spread.count), spread.median, spread.p95,
                  spread.exact ? "true" : "false");
}

std::string JsonCounts(const KindCounts& counts)
{
    return Format("\"started\": %llu, \"succeeded\": %llu, \"failed\": %llu, \"cancelled\": %llu",
                  static_cast<unsigned long long>(counts.started),
                  static_cast<unsigned long long>(counts.succeeded),
                  static_cast<unsigned long long>(counts.failed),
                  static_cast<unsigned long long>(counts.cancelled));
}

void Count(KindCounts* counts, ReportKind kind, std::uint64_t n)
{
    switch (kind) {
    case ReportKind::Start: counts->started += n; break;
    case ReportKind::Success: counts->succeeded += n; break;
    case ReportKind::Failure: counts->failed += n; break;
    case ReportKind::Cancel: counts->cancelled += n; break;
    }
}

std::string ClientsHeading(const Funnel& f)
{
    if (f.clientDays <= 1)
        return "Clients (of the day)";
    return Format("Clients (sum of %llu days)", static_cast<unsigned long long>(f.clientDays));
}

}  // namespace

const char* WindowsName(std::uint32_t major, std::uint32_t minor, bool ntLine)
{
    for (const WindowsVersion& version : kWindowsVersions)
        if (version.major == major && version.minor == minor && version.ntLine == ntLine)
            return version.name;
    return nullptr;
}

std::string VersionLabel(const std::string& key, const VersionCounts& counts)
{
    const char* name = WindowsName(counts.major, counts.minor, counts.ntLine);
    return name ? key + "  " + name : key;
}

std::vector<std::pair<std::string, const VersionCounts*>> VersionsInOrder(const Funnel& funnel)
{
    std::vector<std::pair<std::string, const VersionCounts*>> versions;
    for (const auto& [key, counts] : funnel.byOs)
        versions.emplace_back(key, &counts);
    std::sort(versions.begin(), versions.end(), [](const auto& a, const auto& b) {
        const VersionCounts& x = *a.second;
        const VersionCounts& y = *b.second;
        return std::tie(x.major, x.minor, x.ntLine) < std::tie(y.major, y.minor, y.ntLine);
    });
    return versions;
}

const char* CatalogueText(std::uint32_t code)
{
    for (const CatalogueEntry& entry : kCatalogue)
        if (entry.code == code)
            return entry.text;
    return nullptr;
}

const char* LanguageName(std::uint32_t osLanguage)
{
    for (const Language& language : kLanguages)
        if (language.id == osLanguage)
            return language.name;
    return nullptr;
}

std::string LanguageLabel(std::uint32_t osLanguage)
{
    const char* name = LanguageName(osLanguage);
    if (!name)
        return std::to_string(osLanguage);
    std::string label = name;
    label[0] = static_cast<char>(label[0] - 'a' + 'A');
    return std::to_string(osLanguage) + " " + label;
}

std::string PeriodText(const Funnel& f)
{
    const Period& p = f.period;
    if (p.hasFrom && p.hasTo)
        return p.fromDay == p.toDay ? DayText(p.fromDay) : DayText(p.fromDay) + " to " + DayText(p.toDay);
    if (p.hasFrom)
        return "from " + DayText(p.fromDay);
    if (p.hasTo)
        return "to " + DayText(p.toDay);
    return "all kept reports";
}

Funnel FunnelOf(const Summaries& summaries, const Period& period)
{
    Funnel funnel;
    funnel.period = period;
    funnel.firstHourMs = summaries.firstHourMs;
    funnel.lastHourMs = summaries.lastHourMs;
    for (const auto& [key, count] : summaries.counts) {
        Count(&funnel.all, key.kind, count);
        if (key.kind == ReportKind::Failure)
            funnel.failedByCode[key.code] += count;
        Report report;
        report.osMajor = key.osMajor;
        report.osMinor = key.osMinor;
        report.ntLine = key.ntLine;
        VersionCounts& os = funnel.byOs[OsKey(report)];
        os.major = key.osMajor;
        os.minor = key.osMinor;
        os.ntLine = key.ntLine;
        Count(&os, key.kind, count);
        Count(&funnel.byLanguage[key.language], key.kind, count);
    }
    std::map<std::uint32_t, std::uint64_t> buckets[2][2];   // [failure][bytes]
    for (const auto& [key, count] : summaries.spreads)
        buckets[key.kind == ReportKind::Failure][key.measure == Measure::Bytes][key.bucket] += count;
    funnel.successSeconds = SpreadOf(buckets[0][0]);
    funnel.successBytes = SpreadOf(buckets[0][1]);
    funnel.failureSeconds = SpreadOf(buckets[1][0]);
    funnel.failureBytes = SpreadOf(buckets[1][1]);
    for (const DayClients& day : summaries.days) {
        if (day.clients == 0)
            continue;
        funnel.clients += day.clients;
        funnel.clientsRetried += day.retried;
        ++funnel.clientDays;
        if (day.ownKeys)
            funnel.ownKeyDays.push_back(day.day);
    }
    funnel.malformed = summaries.malformed;
    return funnel;
}

void FunnelBuilder::Add(const StoredReport& stored)
{
    delta_.AddReport(stored.receivedMs, stored.client, stored.report);
}

Funnel FunnelBuilder::Finish(std::uint64_t malformed)
{
    Funnel funnel = FunnelOf(SummariesOf(delta_, Period{}), Period{});
    funnel.malformed = malformed;
    return funnel;
}

std::string SummaryText(const Funnel& f)
{
    const KindCounts& all = f.all;
    std::uint64_t results = all.succeeded + all.failed;
    std::string out = "Period: " + PeriodText(f);
    if (f.firstHourMs >= 0)
        out += " (reports of " + DayText(DayOf(f.firstHourMs)) + " to " + DayText(DayOf(f.lastHourMs)) + ")";
    out += "\n\n";
    out += Format("%-32s %8llu\n", "Attempts started", static_cast<unsigned long long>(all.started));
    out += Format("%-32s %8llu  %s of started\n", "Ended in success",
                  static_cast<unsigned long long>(all.succeeded), Share(all.succeeded, all.started).c_str());
    out += Format("%-32s %8llu  %s of started\n", "Failed",
                  static_cast<unsigned long long>(all.failed), Share(all.failed, all.started).c_str());
    for (const auto& [code, count] : f.failedByCode) {
        const char* text = CatalogueText(code);
        out += Format("  code %-25u %8llu  %s\n", code, static_cast<unsigned long long>(count),
                      text ? text : "(no catalogue text)");
    }
    out += Format("%-32s %8llu\n", "No result report (cut off)",
                  static_cast<unsigned long long>(all.started > results ? all.started - results : 0));
    out += Format("%-32s %8llu\n", "Cancelled (window closed)",
                  static_cast<unsigned long long>(all.cancelled));
    out += Format("%-32s %8llu\n", "Malformed queries", static_cast<unsigned long long>(f.malformed));
    out += Format("%-32s %8llu  %llu needed Try Again (%s)\n", ClientsHeading(f).c_str(),
                  static_cast<unsigned long long>(f.clients),
                  static_cast<unsigned long long>(f.clientsRetried),
                  Share(f.clientsRetried, f.clients).c_str());
    if (!f.ownKeyDays.empty()) {
        std::string days;
        for (std::int64_t day : f.ownKeyDays)
            days += (days.empty() ? "" : ", ") + DayText(day);
        out += "  of which some were counted apart by a collector that had no key of the fleet, on " + days + "\n";
    }
    out += Format("\n%-49s %9s %8s %8s %8s\n", "By Windows version", "started", "success",
                  "failure", "cancel");
    for (const auto& [os, counts] : VersionsInOrder(f)) {
        const char* name = WindowsName(counts->major, counts->minor, counts->ntLine);
        out += Format("  %-9s %-37s %9llu %8llu %8llu %8llu\n", os.c_str(), name ? name : "",
                      static_cast<unsigned long long>(counts->started),
                      static_cast<unsigned long long>(counts->succeeded),
                      static_cast<unsigned long long>(counts->failed),
                      static_cast<unsigned long long>(counts->cancelled));
    }
    out += Format("\n%-49s %9s %8s %8s %8s\n", "By language", "started", "success", "failure", "cancel");
    for (const auto& [language, counts] : f.byLanguage)
        out += Format("  %-47s %9llu %8llu %8llu %8llu\n", LanguageLabel(language).c_str(),
                      static_cast<unsigned long long>(counts.started),
                      static_cast<unsigned long long>(counts.succeeded),
                      static_cast<unsigned long long>(counts.failed),
                      static_cast<unsigned long long>(counts.cancelled));
    out += "\nDuration and size of the attempts\n";
    out += SpreadLine("seconds to success", f.successSeconds, "s");
    out += SpreadLine("bytes of a success", f.successBytes, "bytes");
    out += SpreadLine("seconds to failure", f.failureSeconds, "s");
    out += SpreadLine("bytes of a failure", f.failureBytes, "bytes");
    return out;
}

std::string SummaryJson(const Funnel& f)
{
    std::string failed;
    for (const auto& [code, count] : f.failedByCode)
        failed += Format("%s\"%u\": %llu", failed.empty() ? "" : ", ", code,
                         static_cast<unsigned long long>(count));
    std::string byOs;
    for (const auto& [os, counts] : VersionsInOrder(f))
        byOs += (byOs.empty() ? "" : ", ") + JsonString(os) + ": " + JsonVersion(*counts);
    std::string byLanguage;
    for (const auto& [language, counts] : f.byLanguage) {
        const char* name = LanguageName(language);
        byLanguage += Format("%s\"%u\": {\"language\": %s, ", byLanguage.empty() ? "" : ", ", language,
                             name ? JsonString(name).c_str() : "null") +
                      JsonCounts(counts) + "}";
    }
    std::string ownKeyDays;
    for (std::int64_t day : f.ownKeyDays)
        ownKeyDays += (ownKeyDays.empty() ? "\"" : ", \"") + DayText(day) + "\"";
    std::string out = "{";
    out += "\"from\": " + (f.period.hasFrom ? "\"" + DayText(f.period.fromDay) + "\"" : std::string("null")) +
           ", \"to\": " + (f.period.hasTo ? "\"" + DayText(f.period.toDay) + "\"" : std::string("null")) + ", ";
    out += Format("\"started\": %llu, \"succeeded\": %llu, \"failed\": {%s}, \"cancelled\": %llu, "
                  "\"malformed\": %llu, ",
                  static_cast<unsigned long long>(f.all.started),
                  static_cast<unsigned long long>(f.all.succeeded), failed.c_str(),
                  static_cast<unsigned long long>(f.all.cancelled),
                  static_cast<unsigned long long>(f.malformed));
    out += Format("\"clients\": %llu, \"clients_needing_try_again\": %llu, \"client_days\": %llu, ",
                  static_cast<unsigned long long>(f.clients),
                  static_cast<unsigned long long>(f.clientsRetried),
                  static_cast<unsigned long long>(f.clientDays));
    out += "\"days_with_clients_counted_apart\": [" + ownKeyDays + "], ";
    out += "\"by_os\": {" + byOs + "}, ";
    out += "\"by_language\": {" + byLanguage + "}, ";
    out += "\"seconds\": {\"success\": " + JsonSpread(f.successSeconds) +
           ", \"failure\": " + JsonSpread(f.failureSeconds) + "}, ";
    out += "\"bytes\": {\"success\": " + JsonSpread(f.successBytes) +
           ", \"failure\": " + JsonSpread(f.failureBytes) + "}";
    return out + "}\n";
}

}  // namespace lvcollect
