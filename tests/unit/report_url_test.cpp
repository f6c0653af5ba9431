// The usage report URLs, byte for byte.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "report/report_url.h"
#include "tests/unit/report_test_support.h"

namespace {

const char kReportHost[] = "reports.tessaframe.com";
const char kServer[] = "download.tessaframe.com";
const char kObject[] = "pub/lumenvast/default/english/win95nt/8.5.325/installer.foo";

const OsVersion kXp = {5, 1, 2};
const OsVersion k98 = {4, 10, 1};
const OsVersion k2000 = {5, 0, 2};

TEST(ReportUrl, StartReportOnXp)
{
    ReportBuffer buffer;
    EXPECT_EQ(ComposeStartReportUrl(buffer.get(), kReportHost, &kXp), buffer.get());
    EXPECT_STREQ(buffer.get(),
                 "http://reports.tessaframe.com:80/foo.bar?protocol=2&mode=initial"
                 "&pluginversion=850325&oslanguage=9&installtype=Kestrelox"
                 "&installstate=newplug&product1=LMV10D80&machinetype=pc&sampleperiod=0"
                 "&uilanguage=en&worldregion=1&savesattempted=&savescompleted="
                 "&package1=kest,850325&action=update&osversion=5.1&os=nt");
    EXPECT_EQ(strlen(buffer.get()), 282u + strlen(kReportHost));
    EXPECT_TRUE(buffer.UntouchedAfterTerminator());
}

TEST(ReportUrl, SuccessReportOn98)
{
    ReportBuffer buffer;
    EXPECT_EQ(ComposeResultReportUrl(buffer.get(), kReportHost, 0, 2345678, 95, kServer, kObject, &k98),
              buffer.get());
    EXPECT_STREQ(buffer.get(),
                 "http://reports.tessaframe.com:80/foo.bar?protocol=2&mode=initial"
                 "&pluginversion=850325&oslanguage=9&installtype=Kestrelox"
                 "&installstate=newplug&product1=LMV10D80&filesdownloaded=1"
                 "&installattempts=1&version=,850325&action=success&error="
                 "&filesdownloaded=1&installattempts=1&installduration=95"
                 "&totalbytes=2345678&currenturl=http://download.tessaframe.com/"
                 "pub/lumenvast/default/english/win95nt/8.5.325/installer.foo"
                 "&osversion=4.10&os=win");
    EXPECT_TRUE(buffer.UntouchedAfterTerminator());
}

TEST(ReportUrl, FailureReportOnXp)
{
    ReportBuffer buffer;
    EXPECT_EQ(ComposeResultReportUrl(buffer.get(), kReportHost, 117, 1048576, 40, kServer, kObject, &kXp),
              buffer.get());
    EXPECT_STREQ(buffer.get(),
                 "http://reports.tessaframe.com:80/foo.bar?protocol=2&mode=initial"
                 "&pluginversion=850325&oslanguage=9&installtype=Kestrelox"
                 "&installstate=newplug&product1=LMV10D80&filesdownloaded=1"
                 "&installattempts=1&version=,850325&action=failure&error=117"
                 "&duration=40&totalbytes=1048576&currenturl=http://download.tessaframe.com/"
                 "pub/lumenvast/default/english/win95nt/8.5.325/installer.foo"
                 "&osversion=5.1&os=nt");
    EXPECT_TRUE(buffer.UntouchedAfterTerminator());
}

TEST(ReportUrl, CancelReportOn2000)
{
    ReportBuffer buffer;
    EXPECT_EQ(ComposeResultReportUrl(buffer.get(), kReportHost, 123, 0, 12, kServer, kObject, &k2000),
              buffer.get());
    EXPECT_STREQ(buffer.get(),
                 "http://reports.tessaframe.com:80/foo.bar?protocol=2&mode=initial"
                 "&pluginversion=850325&oslanguage=9&installtype=Kestrelox"
                 "&installstate=newplug&product1=LMV10D80&filesdownloaded=1"
                 "&installattempts=1&version=,850325&action=failure&error=123"
                 "&duration=12&totalbytes=0&currenturl=http://download.tessaframe.com/"
                 "pub/lumenvast/default/english/win95nt/8.5.325/installer.foo"
                 "&osversion=5.0&os=nt");
    EXPECT_TRUE(buffer.UntouchedAfterTerminator());
}

struct DecimalCase {
    uint32_t value;
    const char* digits;
};

void PrintTo(const DecimalCase& c, std::ostream* out) { *out << c.value; }

class FormatDecimalTest : public testing::TestWithParam<DecimalCase> {};

TEST_P(FormatDecimalTest, WritesOnlyTheDigits)
{
    const DecimalCase& c = GetParam();
    char destination[16];
    memset(destination, kGuard, sizeof destination);
    int count = FormatDecimal(destination, c.value);
    ASSERT_EQ(count, static_cast<int>(strlen(c.digits)));
    EXPECT_EQ(std::string(destination, count), c.digits);
    for (size_t i = count; i < sizeof destination; ++i)
        EXPECT_EQ(destination[i], kGuard) << "byte " << i << " past the digits was written";
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatDecimalTest,
    testing::Values(DecimalCase{0u, "0"}, DecimalCase{7u, "7"}, DecimalCase{10u, "10"},
                    DecimalCase{100u, "100"}, DecimalCase{123u, "123"},
                    DecimalCase{1000000000u, "1000000000"},
                    DecimalCase{2147483647u, "2147483647"},
                    DecimalCase{2147483648u, "2147483648"},
                    DecimalCase{4294967295u, "4294967295"}));

TEST(CopyText, CopiesWithoutTerminator)
{
    char destination[8];
    memset(destination, kGuard, sizeof destination);
    EXPECT_EQ(CopyText(destination, ""), 0);
    EXPECT_EQ(destination[0], kGuard);
    EXPECT_EQ(CopyText(destination, "a&b"), 3);
    EXPECT_EQ(std::string(destination, 3), "a&b");
    EXPECT_EQ(destination[3], kGuard);
}

struct OsCase {
    OsVersion os;
    const char* fields;
};

void PrintTo(const OsCase& c, std::ostream* out)
{
    *out << c.os.major << "." << c.os.minor << " on platform " << c.os.platformId;
}

class OsInfoTest : public testing::TestWithParam<OsCase> {};

TEST_P(OsInfoTest, WritesTheFields)
{
    const OsCase& c = GetParam();
    char destination[48];
    memset(destination, kGuard, sizeof destination);
    int count = AppendOsInfo(destination, &c.os);
    ASSERT_EQ(count, static_cast<int>(strlen(c.fields)));
    EXPECT_EQ(std::string(destination, count), c.fields);
    EXPECT_EQ(destination[count], kGuard);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, OsInfoTest,
    testing::Values(OsCase{{5, 1, 2}, "&osversion=5.1&os=nt"},
                    OsCase{{4, 10, 1}, "&osversion=4.10&os=win"},
                    OsCase{{4, 0, 0}, "&osversion=4.0&os=win"},
                    OsCase{{10, 0, 3}, "&osversion=10.0&os=win"},
                    OsCase{{6, 2, 2}, "&osversion=6.2&os=nt"},
                    OsCase{{0, 0, 0}, "&osversion=0.0&os=win"},
                    OsCase{{4294967295u, 4294967295u, 1},
                           "&osversion=4294967295.4294967295&os=win"}));

// The longest report of each kind, with a report host of 150 characters,
// catalogue texts of 259 and every number ten digits wide.
struct Longest {
    std::string host = std::string(REPORT_HOST_MAX, 'h');
    std::string server = std::string(259, 's');
    std::string object = std::string(259, 'o');
    OsVersion os = {4294967295u, 4294967295u, 1};
    std::string prefix = "http://" + host +
                         ":80/foo.bar?protocol=2&mode=initial&pluginversion=850325&oslanguage=9"
                         "&installtype=Kestrelox&installstate=newplug&product1=LMV10D80";
    std::string osFields = "&osversion=4294967295.4294967295&os=win";
};

TEST(ReportUrl, LongestSuccessReportFillsTheBuffer)
{
    Longest longest;
    ReportBuffer buffer;
    ComposeResultReportUrl(buffer.get(), longest.host.c_str(), 0, 4294967295u, 4294967295u,
                           longest.server.c_str(), longest.object.c_str(), &longest.os);
    std::string expected = longest.prefix +
                           "&filesdownloaded=1&installattempts=1&version=,850325&action="
                           "success&error=&filesdownloaded=1&installattempts=1"
                           "&installduration=4294967295&totalbytes=4294967295&currenturl=http://" +
                           longest.server + "/" + longest.object + longest.osFields;
    ASSERT_EQ(expected.size() + 1, static_cast<size_t>(REPORT_URL_SIZE));
    EXPECT_EQ(buffer.get()[REPORT_URL_SIZE - 1], '\0');
    EXPECT_EQ(std::string(buffer.get()), expected);
}

TEST(ReportUrl, LongestFailureReport)
{
    Longest longest;
    ReportBuffer buffer;
    ComposeResultReportUrl(buffer.get(), longest.host.c_str(), 4294967295u, 4294967295u,
                           4294967295u, longest.server.c_str(), longest.object.c_str(), &longest.os);
    std::string expected = longest.prefix +
                           "&filesdownloaded=1&installattempts=1&version=,850325&action="
                           "failure&error=4294967295&duration=4294967295&totalbytes=4294967295"
                           "&currenturl=http://" +
                           longest.server + "/" + longest.object + longest.osFields;
    EXPECT_EQ(expected.size() + 1, 841u + REPORT_HOST_MAX);
    EXPECT_EQ(std::string(buffer.get()), expected);
    EXPECT_TRUE(buffer.UntouchedAfterTerminator());
}

TEST(ReportUrl, LongestStartReport)
{
    Longest longest;
    ReportBuffer buffer;
    ComposeStartReportUrl(buffer.get(), longest.host.c_str(), &longest.os);
    std::string expected = longest.prefix +
                           "&machinetype=pc&sampleperiod=0&uilanguage=en&worldregion=1"
                           "&savesattempted=&savescompleted=&package1=kest,850325&action=update" +
                           longest.osFields;
    EXPECT_EQ(expected.size() + 1, 302u + REPORT_HOST_MAX);
    EXPECT_EQ(std::string(buffer.get()), expected);
    EXPECT_TRUE(buffer.UntouchedAfterTerminator());
}

struct CurrentUrlCase {
    const char* name;
    const char* server;
    const char* object;
    const char* tail;   // the end of the URL from "&currenturl="
};

void PrintTo(const CurrentUrlCase& c, std::ostream* out) { *out << c.name; }

class CurrentUrlTest : public testing::TestWithParam<CurrentUrlCase> {};

TEST_P(CurrentUrlTest, TextsAreCopiedUnchanged)
{
    const CurrentUrlCase& c = GetParam();
    ReportBuffer buffer;
    ComposeResultReportUrl(buffer.get(), kReportHost, 114, 0, 3, c.server, c.object, &kXp);
    std::string url = buffer.get();
    std::string head = "&action=failure&error=114&duration=3&totalbytes=0";
    ASSERT_NE(url.find(head), std::string::npos) << url;
    EXPECT_EQ(url.substr(url.find(head) + head.size()), c.tail);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CurrentUrlTest,
    testing::Values(
        CurrentUrlCase{"EmptyServer", "", "installer.foo",
                       "&currenturl=http:///installer.foo&osversion=5.1&os=nt"},
        CurrentUrlCase{"EmptyObject", "download.tessaframe.com", "",
                       "&currenturl=http://download.tessaframe.com/&osversion=5.1&os=nt"},
        CurrentUrlCase{"BothEmpty", "", "", "&currenturl=http:///&osversion=5.1&os=nt"},
        CurrentUrlCase{"SpecialCharacters", "a&b?c=d e%f", "x y/%20&q=1?r=",
                       "&currenturl=http://a&b?c=d e%f/x y/%20&q=1?r=&osversion=5.1&os=nt"}),
    [](const testing::TestParamInfo<CurrentUrlCase>& info) { return info.param.name; });

TEST(ReportUrl, SuccessAndFailureFieldsExcludeEachOther)
{
    ReportBuffer success;
    ReportBuffer failure;
    ComposeResultReportUrl(success.get(), kReportHost, 0, 1, 2, kServer, kObject, &kXp);
    ComposeResultReportUrl(failure.get(), kReportHost, 122, 1, 2, kServer, kObject, &kXp);
    std::string s = success.get();
    std::string f = failure.get();
    EXPECT_NE(s.find("&installduration=2&totalbytes=1&"), std::string::npos);
    EXPECT_EQ(s.find("&duration="), std::string::npos);
    EXPECT_EQ(s.find("failure"), std::string::npos);
    EXPECT_NE(f.find("failure&error=122&duration=2&totalbytes=1&"), std::string::npos);
    EXPECT_EQ(f.find("installduration"), std::string::npos);
    EXPECT_EQ(f.find("success"), std::string::npos);
}

// The job composes its start report and later its result report in one buffer.
TEST(ReportUrl, SecondReportInSameBufferEndsWithItsOwnTerminator)
{
    ReportBuffer buffer;
    ComposeStartReportUrl(buffer.get(), kReportHost, &kXp);
    ComposeResultReportUrl(buffer.get(), kReportHost, 123, 0, 12, kServer, kObject, &k2000);
    EXPECT_STREQ(buffer.get(),
                 "http://reports.tessaframe.com:80/foo.bar?protocol=2&mode=initial"
                 "&pluginversion=850325&oslanguage=9&installtype=Kestrelox"
                 "&installstate=newplug&product1=LMV10D80&filesdownloaded=1"
                 "&installattempts=1&version=,850325&action=failure&error=123"
                 "&duration=12&totalbytes=0&currenturl=http://download.tessaframe.com/"
                 "pub/lumenvast/default/english/win95nt/8.5.325/installer.foo"
                 "&osversion=5.0&os=nt");

    // A shorter report after a longer one must not leave the longer one's tail.
    ComposeStartReportUrl(buffer.get(), kReportHost, &kXp);
    EXPECT_STREQ(buffer.get(),
                 "http://reports.tessaframe.com:80/foo.bar?protocol=2&mode=initial"
                 "&pluginversion=850325&oslanguage=9&installtype=Kestrelox"
                 "&installstate=newplug&product1=LMV10D80&machinetype=pc&sampleperiod=0"
                 "&uilanguage=en&worldregion=1&savesattempted=&savescompleted="
                 "&package1=kest,850325&action=update&osversion=5.1&os=nt");
}

TEST(ReportUrlPath, StartsAtTheSlashAfterTheReportHost)
{
    ReportBuffer buffer;
    ComposeResultReportUrl(buffer.get(), kReportHost, 117, 1048576, 40, kServer, kObject, &kXp);
    const char* path = ReportUrlPath(buffer.get());
    EXPECT_EQ(path, buffer.get() + strlen("http://") + strlen(kReportHost) + strlen(":80"));
    EXPECT_STREQ(path,
                 "/foo.bar?protocol=2&mode=initial"
                 "&pluginversion=850325&oslanguage=9&installtype=Kestrelox"
                 "&installstate=newplug&product1=LMV10D80&filesdownloaded=1"
                 "&installattempts=1&version=,850325&action=failure&error=117"
                 "&duration=40&totalbytes=1048576&currenturl=http://download.tessaframe.com/"
                 "pub/lumenvast/default/english/win95nt/8.5.325/installer.foo"
                 "&osversion=5.1&os=nt");
}

TEST(ReportUrlPath, OfStartReportWithOtherHosts)
{
    const char* hosts[] = {"r", "127.0.0.3", "reports-2.example.org", ""};
    for (const char* host : hosts) {
        ReportBuffer buffer;
        ComposeStartReportUrl(buffer.get(), host, &k98);
        EXPECT_STREQ(ReportUrlPath(buffer.get()),
                     "/foo.bar?protocol=2&mode=initial&pluginversion=850325&oslanguage=9"
                     "&installtype=Kestrelox&installstate=newplug&product1=LMV10D80"
                     "&machinetype=pc&sampleperiod=0&uilanguage=en&worldregion=1"
                     "&savesattempted=&savescompleted=&package1=kest,850325&action=update"
                     "&osversion=4.10&os=win")
            << "host \"" << host << "\"";
    }
}

}  // namespace
