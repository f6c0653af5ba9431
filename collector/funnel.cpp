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

// Nearest rank: the smallest value with at least p of all values at or below it.
std::uint32_t Percentile(const std::vector<std::uint32_t>& sorted, unsigned percent)
{
    std::size_t rank = (sorted.size() * percent + 99) / 100;
    return sorted[rank == 0 ? 0 : rank - 1];
}

Spread SpreadOf(std::vector<std::uint32_t>& values)
{
    Spread spread;
    spread.count = values.size();
    if (values.empty())
        return spread;
    std::sort(values.begin(), values.end());
    spread.median = Percentile(values, 50);
    spread.p95 = Percentile(values, 95);
    return spread;
}

// One client, whichever collector heard it: a collector on an IPv6 socket
// hears an IPv4 peer as "::ffff:192.0.2.1", one on an IPv4 socket as
// "192.0.2.1", and a fleet may have both.
std::string ClientKey(const std::string& client)
{
    const std::size_t prefix = 7;   // "::ffff:"
    if (client.size() > prefix && strncasecmp(client.c_str(), "::ffff:", prefix) == 0 &&
        client.find('.', prefix) != std::string::npos &&
        client.find_first_not_of("0123456789.", prefix) == std::string::npos)
        return client.substr(prefix);
    return client;
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
    return Format("  %-28s median %u %s, 95th percentile %u %s, of %llu\n", what,
                  spread.median, unit, spread.p95, unit,
                  static_cast<unsigned long long>(spread.count));
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
        return "{\"count\": 0, \"median\": null, \"p95\": null}";
    return Format("{\"count\": %llu, \"median\": %u, \"p95\": %u}",
                  static_cast<unsigned long long>(spread.count), spread.median, spread.p95);
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

void FunnelBuilder::Add(const StoredReport& stored)
{
    const Report& report = stored.report;
    VersionCounts& os = funnel_.byOs[OsKey(report)];
    os.major = report.osMajor;
    os.minor = report.osMinor;
    os.ntLine = report.ntLine;
    Client& client = clients_[ClientKey(stored.client)];
    switch (report.kind) {
    case ReportKind::Start:
        ++funnel_.all.started;
        ++os.started;
        // Try Again starts a new attempt in the same process, right after
        // the failure that the error view shows.
        if (client.lastResultFailed)
            client.retried = true;
        client.lastResultFailed = false;
        client.started = true;
        break;
    case ReportKind::Success:
        ++funnel_.all.succeeded;
        ++os.succeeded;
        successSeconds_.push_back(report.seconds);
        successBytes_.push_back(report.bytes);
        client.lastResultFailed = false;
        break;
    case ReportKind::Failure:
        ++funnel_.all.failed;
        ++os.failed;
        ++funnel_.failedByCode[report.code];
        failureSeconds_.push_back(report.seconds);
        failureBytes_.push_back(report.bytes);
        client.lastResultFailed = true;
        break;
    case ReportKind::Cancel:
        // The window closed: the process has ended, whatever came before.
        ++funnel_.all.cancelled;
        ++os.cancelled;
        client.lastResultFailed = false;
        break;
    }
}

Funnel FunnelBuilder::Finish(std::uint64_t malformed)
{
    funnel_.malformed = malformed;
    for (const auto& entry : clients_) {
        if (!entry.second.started)
            continue;
        ++funnel_.clients;
        if (entry.second.retried)
            ++funnel_.clientsRetried;
    }
    funnel_.successSeconds = SpreadOf(successSeconds_);
    funnel_.successBytes = SpreadOf(successBytes_);
    funnel_.failureSeconds = SpreadOf(failureSeconds_);
    funnel_.failureBytes = SpreadOf(failureBytes_);
    return funnel_;
}

std::string SummaryText(const Funnel& f)
{
    const KindCounts& all = f.all;
    std::uint64_t results = all.succeeded + all.failed;
    std::string out;
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
    out += Format("%-32s %8llu  %llu needed Try Again (%s)\n", "Clients (addresses)",
                  static_cast<unsigned long long>(f.clients),
                  static_cast<unsigned long long>(f.clientsRetried),
                  Share(f.clientsRetried, f.clients).c_str());
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
    std::string out = "{";
    out += Format("\"started\": %llu, \"succeeded\": %llu, \"failed\": {%s}, \"cancelled\": %llu, "
                  "\"malformed\": %llu, ",
                  static_cast<unsigned long long>(f.all.started),
                  static_cast<unsigned long long>(f.all.succeeded), failed.c_str(),
                  static_cast<unsigned long long>(f.all.cancelled),
                  static_cast<unsigned long long>(f.malformed));
    out += Format("\"clients\": %llu, \"clients_needing_try_again\": %llu, ",
                  static_cast<unsigned long long>(f.clients),
                  static_cast<unsigned long long>(f.clientsRetried));
    out += "\"by_os\": {" + byOs + "}, ";
    out += "\"seconds\": {\"success\": " + JsonSpread(f.successSeconds) +
           ", \"failure\": " + JsonSpread(f.failureSeconds) + "}, ";
    out += "\"bytes\": {\"success\": " + JsonSpread(f.successBytes) +
           ", \"failure\": " + JsonSpread(f.failureBytes) + "}";
    return out + "}\n";
}

}  // namespace lvcollect
