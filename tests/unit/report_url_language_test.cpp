// The usage report URLs of a build in another language, byte for byte:
// built here as Russian's, whose primary language id has two digits, so
// that every report is a byte longer than English's and the report buffer
// is derived again for it.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "report/report_url.h"
#include "tests/unit/report_test_support.h"

namespace {

const char kReportHost[] = "reports.tessaframe.com";
const char kServer[] = "download.tessaframe.com";
const char kObject[] = "pub/lumenvast/default/russian/win95nt/8.5.325/installer.foo";
const OsVersion kSeven = {6, 1, 2};

const std::string kPrefix =
    "http://reports.tessaframe.com:80/foo.bar?protocol=2&mode=initial&pluginversion=850325"
    "&oslanguage=25&installtype=Kestrelox&installstate=newplug&product1=LMV10D80";

TEST(LanguageReportUrl, StartReportNamesTheLanguage)
{
    ReportBuffer buffer;
    ComposeStartReportUrl(buffer.get(), kReportHost, &kSeven);
    EXPECT_EQ(std::string(buffer.get()),
              kPrefix + "&machinetype=pc&sampleperiod=0&uilanguage=ru&worldregion=1"
                        "&savesattempted=&savescompleted=&package1=kest,850325&action=update"
                        "&osversion=6.1&os=nt");
    EXPECT_TRUE(buffer.UntouchedAfterTerminator());
}

TEST(LanguageReportUrl, ResultReportNamesTheLanguage)
{
    ReportBuffer buffer;
    ComposeResultReportUrl(buffer.get(), kReportHost, 117, 1048576, 40, kServer, kObject, &kSeven);
    EXPECT_EQ(std::string(buffer.get()),
              kPrefix + "&filesdownloaded=1&installattempts=1&version=,850325&action=failure"
                        "&error=117&duration=40&totalbytes=1048576&currenturl=http://"
                        "download.tessaframe.com/pub/lumenvast/default/russian/win95nt/8.5.325/"
                        "installer.foo&osversion=6.1&os=nt");
    EXPECT_TRUE(buffer.UntouchedAfterTerminator());
}

// The longest texts the configuration allows: a report host of 150
// characters, catalogue texts of 259, every number ten digits wide.
TEST(LanguageReportUrl, LongestSuccessReportFillsTheGrownBuffer)
{
    std::string host(REPORT_HOST_MAX, 'h');
    std::string server(259, 's');
    std::string object(259, 'o');
    OsVersion os = {4294967295u, 4294967295u, 1};
    ReportBuffer buffer;
    ComposeResultReportUrl(buffer.get(), host.c_str(), 0, 4294967295u, 4294967295u,
                           server.c_str(), object.c_str(), &os);
    std::string expected =
        "http://" + host +
        ":80/foo.bar?protocol=2&mode=initial&pluginversion=850325&oslanguage=25"
        "&installtype=Kestrelox&installstate=newplug&product1=LMV10D80"
        "&filesdownloaded=1&installattempts=1&version=,850325&action="
        "success&error=&filesdownloaded=1&installattempts=1"
        "&installduration=4294967295&totalbytes=4294967295&currenturl=http://" +
        server + "/" + object + "&osversion=4294967295.4294967295&os=win";
    // One byte more than English's 1,024: the second digit of the language.
    ASSERT_EQ(expected.size() + 1, 1025u);
    ASSERT_EQ(static_cast<size_t>(REPORT_URL_SIZE), 1025u);
    EXPECT_EQ(buffer.get()[REPORT_URL_SIZE - 1], '\0');
    EXPECT_EQ(std::string(buffer.get()), expected);
}

}  // namespace
