#include "collector/summaries.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace lvcollect {
namespace {

// Floor division: times before 1970 still fall in their own hour and day.
std::int64_t FloorDiv(std::int64_t value, std::int64_t by)
{
    std::int64_t quotient = value / by;
    return (value % by != 0 && (value < 0) != (by < 0)) ? quotient - 1 : quotient;
}

unsigned HighestBit(std::uint32_t value)
{
    return 31u - static_cast<unsigned>(__builtin_clz(value));
}

constexpr unsigned EXACT_BITS = 8;        // EXACT_BELOW = 1 << 8
constexpr unsigned SUB_BUCKET_BITS = 7;   // BUCKETS_PER_OCTAVE = 1 << 7

// Days from 1970-01-01 to a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

static_assert(EXACT_BELOW == 1u << EXACT_BITS && BUCKETS_PER_OCTAVE == 1u << SUB_BUCKET_BITS,
              "the bucket constants agree");

std::int64_t HourOf(std::int64_t unixMs)
{
    return FloorDiv(unixMs, HOUR_MS) * HOUR_MS;
}

std::int64_t DayOf(std::int64_t unixMs)
{
    return FloorDiv(unixMs, DAY_MS);
}

std::uint32_t BucketOf(std::uint32_t value)
{
    if (value < EXACT_BELOW)
        return value;
    unsigned octave = HighestBit(value);   // EXACT_BITS to 31
    std::uint32_t sub = (value >> (octave - SUB_BUCKET_BITS)) & (BUCKETS_PER_OCTAVE - 1);
    return EXACT_BELOW + (octave - EXACT_BITS) * BUCKETS_PER_OCTAVE + sub;
}

std::uint32_t BucketValue(std::uint32_t bucket)
{
    if (bucket < EXACT_BELOW)
        return bucket;
    std::uint32_t octave = (bucket - EXACT_BELOW) / BUCKETS_PER_OCTAVE + EXACT_BITS;
    std::uint32_t sub = (bucket - EXACT_BELOW) % BUCKETS_PER_OCTAVE;
    std::uint64_t width = std::uint64_t{1} << (octave - SUB_BUCKET_BITS);
    std::uint64_t low = (std::uint64_t{1} << octave) + sub * width;
    return static_cast<std::uint32_t>(low + (width - 1) / 2);
}

const char* MeasureName(Measure measure)
{
    return measure == Measure::Seconds ? "seconds" : "bytes";
}

bool MeasureOfName(const std::string& name, Measure* measure)
{
    if (name == "seconds")
        *measure = Measure::Seconds;
    else if (name == "bytes")
        *measure = Measure::Bytes;
    else
        return false;
    return true;
}

void ClientTimes::Merge(const ClientTimes& other)
{
    if (other.firstFailureMs >= 0 && (firstFailureMs < 0 || other.firstFailureMs < firstFailureMs))
        firstFailureMs = other.firstFailureMs;
    lastStartMs = std::max(lastStartMs, other.lastStartMs);
}

void SummaryDelta::AddReport(std::int64_t receivedMs, const std::string& client, const Report& report)
{
    CountKey key;
    key.hourMs = HourOf(receivedMs);
    key.kind = report.kind;
    key.code = report.kind == ReportKind::Failure ? report.code : 0;
    key.osMajor = report.osMajor;
    key.osMinor = report.osMinor;
    key.ntLine = report.ntLine;
    key.language = report.osLanguage;
    ++counts[key];
    if (report.kind == ReportKind::Success || report.kind == ReportKind::Failure) {
        SpreadKey spread{DayOf(receivedMs) * DAY_MS, report.kind, Measure::Seconds, BucketOf(report.seconds)};
        ++spreads[spread];
        spread.measure = Measure::Bytes;
        spread.bucket = BucketOf(report.bytes);
        ++spreads[spread];
    }
    ClientTimes times;
    if (report.kind == ReportKind::Start)
        times.lastStartMs = receivedMs;
    else if (report.kind == ReportKind::Failure)
        times.firstFailureMs = receivedMs;
    else
        return;
    clients[{DayOf(receivedMs), client}].Merge(times);
}

void SummaryDelta::AddMalformed(std::int64_t receivedMs)
{
    ++malformed[HourOf(receivedMs)];
}

std::int64_t Period::FromMs() const
{
    return hasFrom ? fromDay * DAY_MS : INT64_MIN;
}

std::int64_t Period::ToMs() const
{
    return hasTo ? (toDay + 1) * DAY_MS : INT64_MAX;
}

bool ParseDay(const std::string& text, std::int64_t* day)
{
    unsigned y = 0, m = 0, d = 0;
    char tail = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
        std::sscanf(text.c_str(), "%4u-%2u-%2u%c", &y, &m, &d, &tail) != 3)
        return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9')
            return false;
    if (m < 1 || m > 12 || d < 1 || d > 31)
        return false;
    std::int64_t number = DaysFromCivil(y, m, d);
    if (DayText(number) != text)   // 2024-02-30 and the like
        return false;
    *day = number;
    return true;
}

std::string DayText(std::int64_t day)
{
    std::int64_t z = day + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    char text[32];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(y + (m <= 2)), m, d);
    return text;
}

std::map<std::int64_t, std::pair<std::uint64_t, std::uint64_t>> HourTotals(const SummaryDelta& delta)
{
    std::map<std::int64_t, std::pair<std::uint64_t, std::uint64_t>> hours;
    for (const auto& [key, count] : delta.counts) {
        if (key.kind == ReportKind::Start)
            hours[key.hourMs].first += count;
        else if (key.kind == ReportKind::Success)
            hours[key.hourMs].second += count;
    }
    return hours;
}

Summaries SummariesOf(const SummaryDelta& delta, const Period& period)
{
    Summaries summaries;
    for (const auto& [key, count] : delta.counts) {
        if (!period.Contains(key.hourMs))
            continue;
        CountKey whole = key;
        whole.hourMs = 0;
        summaries.counts[whole] += count;
        auto& hour = summaries.hourly[key.hourMs];
        if (key.kind == ReportKind::Start)
            hour.first += count;
        else if (key.kind == ReportKind::Success)
            hour.second += count;
        if (summaries.firstHourMs < 0 || key.hourMs < summaries.firstHourMs)
            summaries.firstHourMs = key.hourMs;
        summaries.lastHourMs = std::max(summaries.lastHourMs, key.hourMs);
    }
    for (const auto& [key, count] : delta.spreads) {
        if (!period.Contains(key.dayMs))
            continue;
        SpreadKey whole = key;
        whole.dayMs = 0;
        summaries.spreads[whole] += count;
    }
    std::map<std::int64_t, DayClients> days;
    for (const auto& [dayClient, times] : delta.clients) {
        std::int64_t day = dayClient.first;
        if (!period.Contains(day * DAY_MS) || !times.Started())
            continue;
        DayClients& each = days[day];
        each.day = day;
        ++each.clients;
        each.retried += times.NeededTryAgain();
        each.ownKeys |= !dayClient.second.empty() && dayClient.second[0] == OWN_KEY_MARK;
    }
    for (const auto& [day, each] : days)
        summaries.days.push_back(each);
    for (const auto& [hourMs, count] : delta.malformed)
        if (period.Contains(hourMs))
            summaries.malformed += count;
    return summaries;
}

}  // namespace lvcollect
