// The usage report URLs of an HTTPS build, byte for byte: "https://" and
// port 443 in every report URL, "https://" in the download URL, and the
// buffer derived again for the longer texts. Also the sheet's examples of
// such a build, read back by the collector's parser.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "collector/report_query.h"
#include "report/report_url.h"
#include "tests/unit/report_test_support.h"

namespace {

const char kReportHost[] = "reports.tessaframe.com";
const char kServer[] = "download.tessaframe.com";
const char kObject[] = "pub/lumenvast/default/english/win95nt/8.5.325/installer.foo";
const OsVersion kSeven = {6, 1, 2};

const std::string kPrefix =
    "https://reports.tessaframe.com:443/foo.bar?protocol=2&mode=initial&pluginversion=850325"
    "&oslanguage=9&installtype=Kestrelox&installstate=newplug&product1=LMV10D80";

TEST(HttpsReportUrl, StartReport)
{
    ReportBuffer buffer;
    ComposeStartReportUrl(buffer.get(), kReportHost, &kSeven);
    EXPECT_EQ(std::string(buffer.get()),
              kPrefix + "&machinetype=pc&sampleperiod=0&uilanguage=en&worldregion=1"
                        "&savesattempted=&savescompleted=&package1=kest,850325&action=update"
                        "&osversion=6.1&os=nt");
    EXPECT_EQ(strlen(buffer.get()), 284u + strlen(kReportHost));
    EXPECT_TRUE(buffer.UntouchedAfterTerminator());
}

TEST(HttpsReportUrl, ResultReportNamesTheDownloadOverHttps)
{
    ReportBuffer buffer;
    ComposeResultReportUrl(buffer.get(), kReportHost, 114, 0, 3, kServer, kObject, &kSeven);
    EXPECT_EQ(std::string(buffer.get()),
              kPrefix + "&filesdownloaded=1&installattempts=1&version=,850325&action=failure"
                        "&error=114&duration=3&totalbytes=0&currenturl=https://"
                        "download.tessaframe.com/pub/lumenvast/default/english/win95nt/8.5.325/"
                        "installer.foo&osversion=6.1&os=nt");
    EXPECT_TRUE(buffer.UntouchedAfterTerminator());
}

TEST(HttpsReportUrl, RequestedPathStartsAfterThePort)
{
    ReportBuffer buffer;
    ComposeStartReportUrl(buffer.get(), kReportHost, &kSeven);
    EXPECT_EQ(ReportUrlPath(buffer.get()),
              buffer.get() + strlen("https://") + strlen(kReportHost) + strlen(":443"));
}

// The longest texts the configuration allows: a report host of 150
// characters, catalogue texts of 259, every number ten digits wide.
struct Longest {
    std::string host = std::string(REPORT_HOST_MAX, 'h');
    std::string server = std::string(259, 's');
    std::string object = std::string(259, 'o');
    OsVersion os = {4294967295u, 4294967295u, 1};
    std::string prefix = "https://" + host +
                         ":443/foo.bar?protocol=2&mode=initial&pluginversion=850325&oslanguage=9"
                         "&installtype=Kestrelox&installstate=newplug&product1=LMV10D80";
    std::string tail = "&currenturl=https://" + server + "/" + object +
                       "&osversion=4294967295.4294967295&os=win";
};

TEST(HttpsReportUrl, LongestSuccessReportFillsTheBuffer)
{
    Longest longest;
    ReportBuffer buffer;
    ComposeResultReportUrl(buffer.get(), longest.host.c_str(), 0, 4294967295u, 4294967295u,
                           longest.server.c_str(), longest.object.c_str(), &longest.os);
    std::string expected = longest.prefix +
                           "&filesdownloaded=1&installattempts=1&version=,850325&action="
                           "success&error=&filesdownloaded=1&installattempts=1"
                           "&installduration=4294967295&totalbytes=4294967295" +
                           longest.tail;
    // Three bytes more than over HTTP: the scheme's "s" twice and the port's third digit.
    ASSERT_EQ(expected.size() + 1, 1027u);
    ASSERT_EQ(static_cast<size_t>(REPORT_URL_SIZE), 1027u);
    EXPECT_EQ(buffer.get()[REPORT_URL_SIZE - 1], '\0');
    EXPECT_EQ(std::string(buffer.get()), expected);
}

TEST(HttpsReportUrl, LongestFailureAndStartReports)
{
    Longest longest;
    ReportBuffer failure;
    ComposeResultReportUrl(failure.get(), longest.host.c_str(), 4294967295u, 4294967295u,
                           4294967295u, longest.server.c_str(), longest.object.c_str(), &longest.os);
    std::string expected = longest.prefix +
                           "&filesdownloaded=1&installattempts=1&version=,850325&action="
                           "failure&error=4294967295&duration=4294967295&totalbytes=4294967295" +
                           longest.tail;
    EXPECT_EQ(expected.size() + 1, 844u + REPORT_HOST_MAX);
    EXPECT_EQ(std::string(failure.get()), expected);
    EXPECT_TRUE(failure.UntouchedAfterTerminator());

    ReportBuffer start;
    ComposeStartReportUrl(start.get(), longest.host.c_str(), &longest.os);
    EXPECT_EQ(strlen(start.get()) + 1, 304u + REPORT_HOST_MAX);
    EXPECT_TRUE(start.UntouchedAfterTerminator());
}

// The longest report of an HTTPS build is a valid one to the collector.
TEST(HttpsReportUrl, LongestSuccessReportIsReadBack)
{
    Longest longest;
    ReportBuffer buffer;
    ComposeResultReportUrl(buffer.get(), longest.host.c_str(), 0, 4294967295u, 4294967295u,
                           longest.server.c_str(), longest.object.c_str(), &longest.os);
    std::string_view query;
    ASSERT_TRUE(lvcollect::ReportQueryOfTarget(ReportUrlPath(buffer.get()), &query));
    lvcollect::ParsedQuery parsed = lvcollect::ParseReportQuery(query);
    ASSERT_TRUE(parsed.valid) << parsed.reason;
    EXPECT_EQ(parsed.report.currentUrl, "https://" + longest.server + "/" + longest.object);
}

// The sheet's examples of an HTTPS build: what the collector reads from each
// is what this composer writes for those fields.
class HttpsSheetUrlTest : public testing::TestWithParam<const char*> {};

TEST_P(HttpsSheetUrlTest, IsWhatTheComposerWritesForItsFields)
{
    std::string url = SheetExample(GetParam());
    ASSERT_EQ(url.rfind("https://", 0), 0u) << GetParam() << " is missing from the sheet";
    std::string host = url.substr(8, url.find(':', 8) - 8);
    std::string_view query;
    ASSERT_TRUE(lvcollect::ReportQueryOfTarget(ReportUrlPath(url.c_str()), &query));
    lvcollect::ParsedQuery parsed = lvcollect::ParseReportQuery(query);
    ASSERT_TRUE(parsed.valid) << parsed.reason;
    EXPECT_EQ(Recompose(host, parsed.report), url);
}

INSTANTIATE_TEST_SUITE_P(Sheet, HttpsSheetUrlTest,
                         testing::Values("start-url-https", "success-url-https"),
                         [](const auto& info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('-'));
                         });

}  // namespace
