// The collector's parser of the report queries: the sheet's example URLs
// read back and composed again byte for byte, the grammar's edges, and the
// funnel counted from parsed reports.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>

#include "collector/client_hash.h"
#include "collector/funnel.h"
#include "collector/report_query.h"
#include "report/report_url.h"
#include "tests/unit/report_test_support.h"

using namespace lvcollect;

namespace {

const std::string kCommon =
    "protocol=2&mode=initial&pluginversion=850325&oslanguage=9"
    "&installtype=Kestrelox&installstate=newplug&product1=LMV10D80";
const std::string kStart = kCommon +
    "&machinetype=pc&sampleperiod=0&uilanguage=en&worldregion=1"
    "&savesattempted=&savescompleted=&package1=kest,850325&action=update&osversion=5.1&os=nt";

// A start report of a build in another language.
std::string Language(const std::string& osLanguage, const std::string& uiLanguage)
{
    std::string query = kStart;
    query.replace(query.find("oslanguage=9"), 12, "oslanguage=" + osLanguage);
    query.replace(query.find("uilanguage=en"), 13, "uilanguage=" + uiLanguage);
    return query;
}

std::string Failure(const std::string& code, const std::string& tail)
{
    return kCommon + "&filesdownloaded=1&installattempts=1&version=,850325&action=failure&error=" +
           code + "&duration=4&totalbytes=" + tail;
}

// What the sheet's words say of each example.
struct SheetUrl {
    const char* name;
    ReportKind kind;
    std::uint32_t code, seconds, bytes;
    const char* os;
};

class SheetUrlTest : public testing::TestWithParam<SheetUrl> {};

TEST_P(SheetUrlTest, IsWhatTheComposerWritesForItsFields)
{
    std::string url = SheetExample(GetParam().name);
    ASSERT_EQ(url.rfind("http://", 0), 0u) << GetParam().name << " is missing from the sheet";
    std::string host = url.substr(7, url.find(':', 7) - 7);
    std::string_view query;
    ASSERT_TRUE(ReportQueryOfTarget(url, &query));
    ParsedQuery parsed = ParseReportQuery(query);
    ASSERT_TRUE(parsed.valid) << parsed.reason;
    EXPECT_EQ(parsed.report.kind, GetParam().kind);
    EXPECT_EQ(parsed.report.code, GetParam().code);
    EXPECT_EQ(parsed.report.seconds, GetParam().seconds);
    EXPECT_EQ(parsed.report.bytes, GetParam().bytes);
    EXPECT_EQ(std::to_string(parsed.report.osMajor) + "." + std::to_string(parsed.report.osMinor) +
                  (parsed.report.ntLine ? " nt" : " win"),
              GetParam().os);
    EXPECT_EQ(Recompose(host, parsed.report), url);
}

INSTANTIATE_TEST_SUITE_P(Sheet, SheetUrlTest,
                         testing::Values(
                             SheetUrl{"start-url", ReportKind::Start, 0, 0, 0, "5.1 nt"},
                             SheetUrl{"success-url", ReportKind::Success, 0, 95, 2345678, "5.1 nt"},
                             SheetUrl{"failure-url", ReportKind::Failure, 117, 40, 1048576, "4.10 win"},
                             SheetUrl{"cancel-url", ReportKind::Cancel, 123, 12, 0, "6.1 nt"}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             return name.substr(0, name.find('-'));
                         });

TEST(ReportQuery, ReadsEveryFieldOfAFailure)
{
    ParsedQuery parsed = ParseReportQuery(
        Failure("4294967295", "0&currenturl=http://h/a&osversion=&os=x&osversion=4.10&os=win"));
    ASSERT_TRUE(parsed.valid) << parsed.reason;
    const Report& r = parsed.report;
    EXPECT_EQ(r.kind, ReportKind::Failure);
    EXPECT_EQ(r.code, 4294967295u);
    EXPECT_EQ(r.seconds, 4u);
    EXPECT_EQ(r.bytes, 0u);
    // The download URL runs to the last "&osversion=".
    EXPECT_EQ(r.currentUrl, "http://h/a&osversion=&os=x");
    EXPECT_EQ(r.osMajor, 4u);
    EXPECT_EQ(r.osMinor, 10u);
    EXPECT_FALSE(r.ntLine);
}

// The longest download URL of each scheme: a host and an object of 259
// characters each. One byte more is more than any downloader writes.
struct CurrentUrlBound {
    const char* scheme;
    std::size_t longest;
};

void PrintTo(const CurrentUrlBound& c, std::ostream* out) { *out << c.scheme; }

class CurrentUrlBoundTest : public testing::TestWithParam<CurrentUrlBound> {};

TEST_P(CurrentUrlBoundTest, LongestIsReadAndOneMoreIsRefused)
{
    const std::string scheme = GetParam().scheme;
    const std::string host(259, 'h');
    for (std::size_t extra : {0, 1}) {
        std::string url = scheme + host + "/" + std::string(259 + extra, 'o');
        ASSERT_EQ(url.size(), GetParam().longest + extra);
        ParsedQuery parsed =
            ParseReportQuery(Failure("114", "0&currenturl=" + url + "&osversion=6.1&os=nt"));
        if (extra == 0) {
            ASSERT_TRUE(parsed.valid) << parsed.reason;
            EXPECT_EQ(parsed.report.currentUrl, url);
        } else {
            EXPECT_FALSE(parsed.valid);
            EXPECT_NE(parsed.reason.find("longer than " + std::to_string(GetParam().longest)),
                      std::string::npos)
                << parsed.reason;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Schemes, CurrentUrlBoundTest,
                         testing::Values(CurrentUrlBound{"http://", 526},
                                         CurrentUrlBound{"https://", 527}),
                         [](const auto& info) {
                             return std::string(info.param.scheme).substr(0, info.index ? 5 : 4);
                         });

TEST(ReportQuery, ReadsADownloadUrlOverHttps)
{
    ParsedQuery parsed = ParseReportQuery(
        kCommon + "&filesdownloaded=1&installattempts=1&version=,850325&action=success&error="
                  "&filesdownloaded=1&installattempts=1&installduration=3&totalbytes=270"
                  "&currenturl=https://download.tessaframe.com/pub/x&osversion=10.0&os=nt");
    ASSERT_TRUE(parsed.valid) << parsed.reason;
    EXPECT_EQ(parsed.report.kind, ReportKind::Success);
    EXPECT_EQ(parsed.report.currentUrl, "https://download.tessaframe.com/pub/x");
    // Only the two schemes that downloaders write, as they write them.
    for (const char* url : {"HTTPS://h/o", "https:/h/o", "httpss://h/o", "https://"})
        EXPECT_FALSE(ParseReportQuery(Failure("114", std::string("0&currenturl=") + url +
                                                         "&osversion=6.1&os=nt"))
                         .valid)
            << url;
}

TEST(ReportQuery, CodeOf123IsACancelOnlyWithoutBytes)
{
    std::string tail = "&currenturl=http://h/o&osversion=6.1&os=nt";
    EXPECT_EQ(ParseReportQuery(Failure("123", "0" + tail)).report.kind, ReportKind::Cancel);
    // An installer may store 123 itself, after a whole download.
    EXPECT_EQ(ParseReportQuery(Failure("123", "5000" + tail)).report.kind, ReportKind::Failure);
}

struct Malformed {
    std::string query;
    const char* reason;   // a part of the reason
};

class MalformedTest : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedTest, IsRefusedWithItsReason)
{
    ParsedQuery parsed = ParseReportQuery(GetParam().query);
    EXPECT_FALSE(parsed.valid);
    EXPECT_NE(parsed.reason.find(GetParam().reason), std::string::npos) << parsed.reason;
}

const std::string kTail = "&currenturl=http://h/o&osversion=5.1&os=nt";

INSTANTIATE_TEST_SUITE_P(
    Grammar, MalformedTest,
    testing::Values(
        Malformed{"", "at byte 0: expected \"protocol=2"},
        Malformed{kStart + "&os=nt", "text after the operating-system fields"},
        Malformed{kStart.substr(0, kStart.size() - 2) + "xp", "expected \"nt\" or \"win\""},
        Malformed{kCommon + "&action=update", "expected \"&filesdownloaded=1"},
        Malformed{Failure("0", "1" + kTail), "failure with code 0"},
        Malformed{Failure("0119", "1" + kTail), "leading zero"},
        Malformed{Failure("4294967296", "1" + kTail), "above 4294967295"},
        Malformed{Failure("12345678901", "1" + kTail), "more than 10 digits"},
        Malformed{Failure("-5", "1" + kTail), "expected a number"},
        Malformed{Failure("119", "1&currenturl=http://h/o"), "no \"&osversion=\""},
        Malformed{Failure("119", "1&currenturl=ftp://h/o&osversion=5.1&os=nt"),
                  "without \"http://\" or \"https://\""},
        Malformed{Failure("119", "1&currenturl=http://h&osversion=5.1&os=nt"), "without \"/\""},
        Malformed{Failure("119", "1&currenturl=http://h/" + std::string(600, 'o') + "&osversion=5.1&os=nt"),
                  "longer than 526"},
        Malformed{Failure("119", std::string("1&currenturl=http://h/o\0x&osversion=5.1&os=nt", 45)),
                  "NUL"},
        // Percent-encoding is not undone: the downloader never encodes.
        Malformed{kCommon + "%26machinetype=pc", "expected \"&filesdownloaded=1"},
        Malformed{kStart + std::string(1024, '&'), "longer than any report"},
        // A language build's values: a 16-bit id as written, two lowercase letters.
        Malformed{Language("123456", "en"), "more than 5 digits"},
        Malformed{Language("65536", "en"), "above 65535"},
        Malformed{Language("09", "en"), "leading zero"},
        Malformed{Language("", "en"), "expected a number"},
        Malformed{Language("7", "DE"), "two lowercase letters"},
        Malformed{Language("7", "d"), "two lowercase letters"},
        Malformed{Language("7", "deu"), "expected \"&worldregion=1"}));

TEST(ReportQuery, ReadsTheLanguageOfABuild)
{
    for (const auto& [id, code] : {std::pair{"7", "de"}, {"17", "ja"}, {"65535", "zz"}, {"0", "en"}}) {
        ParsedQuery parsed = ParseReportQuery(Language(id, code));
        ASSERT_TRUE(parsed.valid) << parsed.reason;
        EXPECT_EQ(parsed.report.osLanguage, std::stoul(id));
        EXPECT_EQ(parsed.report.uiLanguage, code);
    }
    ParsedQuery failure = ParseReportQuery(Failure("117", "9" + kTail));
    ASSERT_TRUE(failure.valid);
    EXPECT_EQ(failure.report.osLanguage, 9u);
}

TEST(ReportTarget, OriginAndAbsoluteForms)
{
    std::string_view query;
    EXPECT_TRUE(ReportQueryOfTarget("/foo.bar?a=1?b", &query));
    EXPECT_EQ(query, "a=1?b");
    EXPECT_TRUE(ReportQueryOfTarget("HTTP://reports.example.com:80/foo.bar?q", &query));
    EXPECT_EQ(query, "q");
    EXPECT_TRUE(ReportQueryOfTarget("http://127.0.0.3/foo.bar", &query));
    EXPECT_EQ(query, "");
    EXPECT_FALSE(ReportQueryOfTarget("/foo.barx?q", &query));
    EXPECT_FALSE(ReportQueryOfTarget("/other/foo.bar?q", &query));
    EXPECT_FALSE(ReportQueryOfTarget("http://host", &query));
    EXPECT_FALSE(ReportQueryOfTarget("", &query));
}

// Received a second after the one before.
StoredReport Stored(const std::string& client, const std::string& query)
{
    static std::int64_t receivedMs = 0;
    ParsedQuery parsed = ParseReportQuery(query);
    EXPECT_TRUE(parsed.valid) << parsed.reason;
    return StoredReport{receivedMs += 1000, client, parsed.report, "Lumenvast Downloader"};
}

std::string Success(int seconds, int bytes)
{
    return kCommon + "&filesdownloaded=1&installattempts=1&version=,850325&action=success&error="
                     "&filesdownloaded=1&installattempts=1&installduration=" +
           std::to_string(seconds) + "&totalbytes=" + std::to_string(bytes) + kTail;
}

TEST(Funnel, CountsAttemptsTryAgainAndSpreads)
{
    FunnelBuilder builder;
    // Client a: a failure, Try Again, a success. Client b: a success after
    // a failure, then a closed window: a start after a failure all the
    // same. Client c: cut off.
    for (const StoredReport& stored :
         {Stored("a", kStart), Stored("b", kStart), Stored("a", Failure("117", "9" + kTail)),
          Stored("b", Failure("119", "9" + kTail)), Stored("b", Failure("123", "0" + kTail)),
          Stored("a", kStart), Stored("b", kStart), Stored("a", Success(10, 100)),
          Stored("b", Success(30, 300)), Stored("c", kStart)})
        builder.Add(stored);
    Funnel f = builder.Finish(2);
    EXPECT_EQ(f.all.started, 5u);
    EXPECT_EQ(f.all.succeeded, 2u);
    EXPECT_EQ(f.all.failed, 2u);
    EXPECT_EQ(f.all.cancelled, 1u);
    EXPECT_EQ(f.failedByCode, (std::map<std::uint32_t, std::uint64_t>{{117, 1}, {119, 1}}));
    EXPECT_EQ(f.clients, 3u);
    EXPECT_EQ(f.clientsRetried, 2u);
    EXPECT_EQ(f.byOs.at("5.1 nt").started, 5u);
    EXPECT_EQ(f.byLanguage.at(9).started, 5u);
    EXPECT_EQ((std::pair{f.successSeconds.median, f.successSeconds.p95}), (std::pair{10u, 30u}));
    EXPECT_EQ(f.malformed, 2u);
    std::string json = SummaryJson(f);
    EXPECT_NE(json.find("\"failed\": {\"117\": 1, \"119\": 1}"), std::string::npos) << json;
    EXPECT_NE(SummaryText(f).find("Download interrupted. Please check your Internet connection and try again."),
              std::string::npos);
}

TEST(ClientHash, AnIpv4ClientIsOneInEitherSocketFormAndEachDayAnother)
{
    // Collectors of one fleet, one on an IPv6 socket, one on an IPv4 socket.
    DayKey key = RandomDayKey();
    EXPECT_EQ(ClientHash(key, "::ffff:192.0.2.1"), ClientHash(key, "192.0.2.1"));
    EXPECT_EQ(ClientHash(key, "::FFFF:192.0.2.1"), ClientHash(key, "192.0.2.1"));
    EXPECT_NE(ClientHash(key, "::ffff:c000:201"), ClientHash(key, "192.0.2.1"));
    EXPECT_NE(ClientHash(RandomDayKey(), "192.0.2.1"), ClientHash(key, "192.0.2.1"));
    std::string hash = ClientHash(key, "192.0.2.1");
    EXPECT_EQ(hash.size(), 2 * CLIENT_HASH_BYTES);
    EXPECT_EQ(hash.find("192"), std::string::npos);

    // HMAC-SHA-256's first 16 bytes, for every address that one keyed
    // context hashes in turn.
    DayKey fixed;
    for (std::size_t i = 0; i < fixed.size(); ++i)
        fixed[i] = static_cast<unsigned char>(i + 1);
    KeyedHash keyed(fixed);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(keyed.Of("192.0.2.1"), "673d4e45160a86d6fa1e679f6867094f");
        EXPECT_EQ(keyed.Of("2001:db8::7"), "b4f2913fec3f8201ae1cc34d17a6430e");
    }

    // The fleet's key of a day, else one of its own, marked; gone once forgotten.
    ClientHasher hasher;
    hasher.PutShared(DayOf(0), key);
    EXPECT_EQ(hasher.Hash("10.0.0.1", 500), ClientHash(key, "10.0.0.1"));
    EXPECT_EQ(hasher.Hash("192.0.2.1", 1000), hash);
    std::string own = hasher.Hash("192.0.2.1", DAY_MS + 1000);
    EXPECT_EQ(own[0], OWN_KEY_MARK);
    EXPECT_EQ(hasher.Hash("192.0.2.1", DAY_MS + 2000), own);
    hasher.PutShared(DayOf(DAY_MS), key);   // a day keeps the key it began with
    EXPECT_EQ(hasher.Hash("192.0.2.1", DAY_MS + 3000), own);
    hasher.ForgetBefore(1);
    EXPECT_FALSE(hasher.Has(0));
    EXPECT_TRUE(hasher.Has(1));
}

TEST(Summaries, TryAgainIsAStartAfterTheDaysFirstFailureWhoeverStoredWhat)
{
    // The same client's reports, delta by delta in any order: the times decide.
    auto failure = ParseReportQuery(Failure("117", "9" + kTail)).report;
    auto start = ParseReportQuery(kStart).report;
    SummaryDelta first, second;
    second.AddReport(DAY_MS + 5000, "a", start);     // stored first by another collector
    first.AddReport(DAY_MS + 1000, "a", start);
    first.AddReport(DAY_MS + 2000, "a", failure);
    first.AddReport(2 * DAY_MS + 1, "a", start);      // the next day: another client
    first.AddReport(DAY_MS + 3000, "b", failure);
    first.AddReport(DAY_MS + 2000, "b", start);
    for (const auto& [key, times] : second.clients)
        first.clients[key].Merge(times);
    Summaries s = SummariesOf(first, Period{});
    ASSERT_EQ(s.days.size(), 2u);
    EXPECT_EQ((std::pair{s.days[0].clients, s.days[0].retried}), (std::pair<std::uint64_t, std::uint64_t>{2, 1}));
    EXPECT_EQ((std::pair{s.days[1].clients, s.days[1].retried}), (std::pair<std::uint64_t, std::uint64_t>{1, 0}));
    Period second_day;
    second_day.hasFrom = true;
    second_day.fromDay = 2;
    EXPECT_EQ(FunnelOf(SummariesOf(first, second_day), second_day).all.started, 1u);
}

TEST(Summaries, BucketsKeepMedianAndP95WithinOnePercent)
{
    for (std::uint32_t value : {0u, 1u, 255u, 256u, 257u, 1000u, 40000u, 3145728u, 4294967295u}) {
        std::uint32_t read = BucketValue(BucketOf(value));
        EXPECT_LE(std::abs(static_cast<double>(read) - value), value / 100.0) << value;
        EXPECT_EQ(BucketOf(read), BucketOf(value)) << value;
    }
    EXPECT_EQ(BucketValue(BucketOf(200)), 200u);   // exact below EXACT_BELOW
    std::int64_t day = 0;
    EXPECT_TRUE(ParseDay("2024-02-29", &day));
    EXPECT_EQ(DayText(day), "2024-02-29");
    EXPECT_EQ(day * DAY_MS, 1709164800000);
    EXPECT_FALSE(ParseDay("2023-02-29", &day));
    EXPECT_FALSE(ParseDay("2024-2-29", &day));
}

}  // namespace
