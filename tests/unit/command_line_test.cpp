// The downloader's own command line, and the command lines it composes for
// the browser and the installer.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <ostream>
#include <string>
#include <vector>

#include "job/command_line.h"

namespace {

// The browser's command buffer of the redirect step.
const uint32_t kBrowserCommandSize = 528;
// The installer's command buffer: a MAX_PATH path and its two quotes.
const uint32_t kInstallerCommandSize = 262;
const uint32_t kPagePathSize = 260;

const char kGuard = '\xA5';
const size_t kGuardSize = 16;

// A buffer of the given capacity followed by guard bytes that no composer
// may touch.
struct GuardedBuffer {
    explicit GuardedBuffer(uint32_t capacity) : capacity(capacity), bytes(capacity + kGuardSize, kGuard) {}
    char* data() { return bytes.data(); }
    bool GuardIntact() const
    {
        for (size_t i = capacity; i < bytes.size(); ++i)
            if (bytes[i] != kGuard)
                return false;
        return true;
    }
    uint32_t capacity;
    std::vector<char> bytes;
};

struct ParseCase {
    const char* name;
    const char* commandLine;
    bool accepted;
    const char* browser;   // with its quotes
    const char* url;       // without its quotes
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, FollowsTheFormat)
{
    const ParseCase& c = GetParam();
    BrowserArguments arguments = {};
    ASSERT_EQ(ParseBrowserArguments(c.commandLine, &arguments), c.accepted);
    if (!c.accepted)
        return;
    EXPECT_EQ(std::string(arguments.browser, arguments.browserLength), c.browser);
    EXPECT_EQ(std::string(arguments.url, arguments.urlLength), c.url);

    // Both pieces point into the command line itself: the URL is not copied.
    const char* begin = c.commandLine;
    const char* end = c.commandLine + strlen(c.commandLine);
    EXPECT_GE(arguments.browser, begin);
    EXPECT_LE(arguments.browser + arguments.browserLength, end);
    EXPECT_GE(arguments.url, begin);
    EXPECT_LT(arguments.url + arguments.urlLength, end);   // the closing quote follows
    EXPECT_EQ(arguments.url[-1], '"');
    EXPECT_EQ(arguments.url[arguments.urlLength], '"');
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ParseTest,
    testing::Values(
        ParseCase{"QuotedProgram",
                  "\"C:\\Program Files\\Lumenvast\\lvdownload.exe\" \"C:\\Program Files\\Web\\browser.exe\" \"http://www.tessaframe.com/welcome\"",
                  true, "\"C:\\Program Files\\Web\\browser.exe\"", "http://www.tessaframe.com/welcome"},
        ParseCase{"UnquotedProgram", "lvdownload.exe \"browser.exe\" \"http://a/\"", true,
                  "\"browser.exe\"", "http://a/"},
        ParseCase{"LeadingBlanks", "   \"lv.exe\" \"b\" \"u\"", true, "\"b\"", "u"},
        ParseCase{"LeadingBlanksUnquoted", "   lv.exe \"b\" \"u\"", true, "\"b\"", "u"},
        ParseCase{"SeveralBlanksBetween", "lv.exe    \"b\"     \"u\"", true, "\"b\"", "u"},
        ParseCase{"UnquotedProgramRunsOverTab", "lv\t.exe \"b\" \"u\"", true, "\"b\"", "u"},
        ParseCase{"UnquotedProgramRunsOverQuote", "lv\"x \"b\" \"u\"", true, "\"b\"", "u"},
        ParseCase{"NoBlankAfterQuotedProgram", "\"lv.exe\"\"b\" \"u\"", true, "\"b\"", "u"},
        ParseCase{"NoBlankBetweenArguments", "\"lv.exe\" \"b\"\"u\"", true, "\"b\"", "u"},
        ParseCase{"EmptyBrowser", "\"lv.exe\" \"\" \"http://a/\"", true, "\"\"", "http://a/"},
        ParseCase{"EmptyUrl", "\"lv.exe\" \"b\" \"\"", true, "\"b\"", ""},
        ParseCase{"TextAfterUrlIgnored", "\"lv.exe\" \"b\" \"u\" more \"text", true, "\"b\"", "u"},
        ParseCase{"TabInsideArguments", "\"lv.exe\" \"b\tc\" \"u\tv\"", true, "\"b\tc\"", "u\tv"},
        ParseCase{"UrlWithBlanksAndQuery", "lv \"b\" \"http://a/x y?p=1&q=%20\"", true, "\"b\"",
                  "http://a/x y?p=1&q=%20"},

        ParseCase{"Empty", "", false, nullptr, nullptr},
        ParseCase{"BlanksOnly", "    ", false, nullptr, nullptr},
        ParseCase{"TabOnlyIsAnUnquotedProgramWithoutBlank", "\t", false, nullptr, nullptr},
        ParseCase{"UnquotedProgramEndsText", "lvdownload.exe", false, nullptr, nullptr},
        ParseCase{"UnquotedProgramThenBlankOnly", "lvdownload.exe ", false, nullptr, nullptr},
        ParseCase{"QuotedProgramUnclosed", "\"C:\\lvdownload.exe", false, nullptr, nullptr},
        ParseCase{"QuotedProgramAlone", "\"lv.exe\"", false, nullptr, nullptr},
        ParseCase{"QuotedProgramThenBlanks", "\"lv.exe\"   ", false, nullptr, nullptr},
        ParseCase{"BrowserUnquoted", "\"lv.exe\" browser.exe \"u\"", false, nullptr, nullptr},
        ParseCase{"TabBeforeBrowser", "\"lv.exe\"\t\"b\" \"u\"", false, nullptr, nullptr},
        ParseCase{"BlankThenTabBeforeBrowser", "lv.exe \t\"b\" \"u\"", false, nullptr, nullptr},
        ParseCase{"BrowserUnclosed", "\"lv.exe\" \"browser.exe", false, nullptr, nullptr},
        ParseCase{"BrowserAlone", "\"lv.exe\" \"b\"", false, nullptr, nullptr},
        ParseCase{"BrowserThenBlanks", "\"lv.exe\" \"b\"  ", false, nullptr, nullptr},
        ParseCase{"UrlUnquoted", "\"lv.exe\" \"b\" http://a/", false, nullptr, nullptr},
        ParseCase{"TabBeforeUrl", "\"lv.exe\" \"b\"\t\"u\"", false, nullptr, nullptr},
        ParseCase{"UrlUnclosed", "\"lv.exe\" \"b\" \"http://a/", false, nullptr, nullptr}),
    [](const testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

struct PagePathCase {
    const char* name;
    const char* directory;
    const char* expected;
};

void PrintTo(const PagePathCase& c, std::ostream* out) { *out << c.name; }

class PagePathTest : public testing::TestWithParam<PagePathCase> {};

TEST_P(PagePathTest, AddsOneBackslashAtMost)
{
    const PagePathCase& c = GetParam();
    GuardedBuffer path(kPagePathSize);
    ASSERT_TRUE(ComposePagePath(path.data(), path.capacity, c.directory));
    EXPECT_STREQ(path.data(), c.expected);
    EXPECT_TRUE(path.GuardIntact());
}

INSTANTIATE_TEST_SUITE_P(
    Directories, PagePathTest,
    testing::Values(
        PagePathCase{"EndsInBackslash", "C:\\users\\root\\Temp\\", "C:\\users\\root\\Temp\\lvtmp.htm"},
        PagePathCase{"NoFinalBackslash", "C:\\users\\root\\Temp", "C:\\users\\root\\Temp\\lvtmp.htm"},
        PagePathCase{"WithBlanks", "C:\\Documents and Settings\\Temp\\",
                     "C:\\Documents and Settings\\Temp\\lvtmp.htm"},
        PagePathCase{"DriveRoot", "C:\\", "C:\\lvtmp.htm"}),
    [](const testing::TestParamInfo<PagePathCase>& info) { return info.param.name; });

struct BoundaryCase {
    const char* name;
    size_t length;        // of the variable part
    bool fits;
};

void PrintTo(const BoundaryCase& c, std::ostream* out) { *out << c.name; }

// A temporary directory of the given length, ending in a backslash or not.
std::string Directory(size_t length, bool finalBackslash)
{
    std::string directory = "C:\\" + std::string(length - 4, 'd');
    directory += finalBackslash ? '\\' : 'd';
    return directory;
}

class PagePathBoundaryTest : public testing::TestWithParam<BoundaryCase> {};

// 260 bytes hold a directory of 250 characters with its backslash, or of
// 249 without one, then "lvtmp.htm" and the terminator.
TEST_P(PagePathBoundaryTest, WithFinalBackslash)
{
    const BoundaryCase& c = GetParam();
    std::string directory = Directory(c.length + 1, true);
    GuardedBuffer path(kPagePathSize);
    EXPECT_EQ(ComposePagePath(path.data(), path.capacity, directory.c_str()), c.fits);
    if (c.fits) {
        EXPECT_EQ(std::string(path.data()), directory + "lvtmp.htm");
    }
    EXPECT_TRUE(path.GuardIntact());
}

TEST_P(PagePathBoundaryTest, WithoutFinalBackslash)
{
    const BoundaryCase& c = GetParam();
    std::string directory = Directory(c.length, false);
    GuardedBuffer path(kPagePathSize);
    EXPECT_EQ(ComposePagePath(path.data(), path.capacity, directory.c_str()), c.fits);
    if (c.fits) {
        EXPECT_EQ(std::string(path.data()), directory + "\\lvtmp.htm");
    }
    EXPECT_TRUE(path.GuardIntact());
}

// length: the directory without its final backslash.
INSTANTIATE_TEST_SUITE_P(
    Lengths, PagePathBoundaryTest,
    testing::Values(BoundaryCase{"Short", 20, true}, BoundaryCase{"Longest", 249, true},
                    BoundaryCase{"OneTooLong", 250, false}, BoundaryCase{"FarTooLong", 600, false}),
    [](const testing::TestParamInfo<BoundaryCase>& info) { return info.param.name; });

TEST(PagePath, ZeroCapacityWritesNothing)
{
    GuardedBuffer path(0);
    EXPECT_FALSE(ComposePagePath(path.data(), 0, "C:\\Temp\\"));
    EXPECT_TRUE(path.GuardIntact());
}

// Parses a command line whose browser command is the given text.
BrowserArguments ArgumentsFor(const std::string& commandLine)
{
    BrowserArguments arguments = {};
    EXPECT_TRUE(ParseBrowserArguments(commandLine.c_str(), &arguments)) << commandLine;
    return arguments;
}

struct BrowserCommandCase {
    const char* name;
    const char* commandLine;
    const char* pagePath;
    const char* expected;
};

void PrintTo(const BrowserCommandCase& c, std::ostream* out) { *out << c.name; }

class BrowserCommandTest : public testing::TestWithParam<BrowserCommandCase> {};

TEST_P(BrowserCommandTest, QuotesThePagePathOnlyWhenItHasABlank)
{
    const BrowserCommandCase& c = GetParam();
    std::string commandLine = c.commandLine;
    BrowserArguments arguments = ArgumentsFor(commandLine);
    GuardedBuffer command(kBrowserCommandSize);
    ASSERT_TRUE(ComposeBrowserCommand(command.data(), command.capacity, &arguments, c.pagePath));
    EXPECT_STREQ(command.data(), c.expected);
    EXPECT_TRUE(command.GuardIntact());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, BrowserCommandTest,
    testing::Values(
        BrowserCommandCase{"PlainPath", "lv \"C:\\Web\\browser.exe\" \"http://a/\"",
                           "C:\\users\\root\\Temp\\lvtmp.htm",
                           "\"C:\\Web\\browser.exe\" C:\\users\\root\\Temp\\lvtmp.htm"},
        BrowserCommandCase{"PathWithBlank", "lv \"C:\\Program Files\\Web\\browser.exe -new\" \"u\"",
                           "C:\\Documents and Settings\\Temp\\lvtmp.htm",
                           "\"C:\\Program Files\\Web\\browser.exe -new\" \"C:\\Documents and Settings\\Temp\\lvtmp.htm\""},
        BrowserCommandCase{"TabIsNoBlank", "lv \"b\" \"u\"", "C:\\T\tmp\\lvtmp.htm",
                           "\"b\" C:\\T\tmp\\lvtmp.htm"},
        BrowserCommandCase{"EmptyBrowser", "lv \"\" \"u\"", "C:\\Temp\\lvtmp.htm",
                           "\"\" C:\\Temp\\lvtmp.htm"}),
    [](const testing::TestParamInfo<BrowserCommandCase>& info) { return info.param.name; });

struct BrowserBoundaryCase {
    const char* name;
    size_t browserLength;   // between the quotes
    bool pathHasBlank;
    bool fits;
};

void PrintTo(const BrowserBoundaryCase& c, std::ostream* out) { *out << c.name; }

class BrowserCommandBoundaryTest : public testing::TestWithParam<BrowserBoundaryCase> {};

// With a page path of 259 characters, the 528 bytes hold a browser command
// of 265 characters between its quotes (263 when the path needs quotes).
TEST_P(BrowserCommandBoundaryTest, NeverWritesPastTheBuffer)
{
    const BrowserBoundaryCase& c = GetParam();
    std::string browser(c.browserLength, 'b');
    std::string commandLine = "lv \"" + browser + "\" \"http://a/\"";
    BrowserArguments arguments = ArgumentsFor(commandLine);

    std::string pagePath = "C:\\" + std::string(259 - 3 - 10, 't') + "\\lvtmp.htm";
    if (c.pathHasBlank)
        pagePath[5] = ' ';
    ASSERT_EQ(pagePath.size(), 259u);

    GuardedBuffer command(kBrowserCommandSize);
    EXPECT_EQ(ComposeBrowserCommand(command.data(), command.capacity, &arguments, pagePath.c_str()),
              c.fits);
    EXPECT_TRUE(command.GuardIntact());
    if (c.fits) {
        std::string expected = "\"" + browser + "\" " +
                               (c.pathHasBlank ? "\"" + pagePath + "\"" : pagePath);
        EXPECT_EQ(std::string(command.data()), expected);
        EXPECT_LE(expected.size() + 1, kBrowserCommandSize);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, BrowserCommandBoundaryTest,
    testing::Values(
        BrowserBoundaryCase{"FillsExactly", 265, false, true},
        BrowserBoundaryCase{"OneByteMore", 266, false, false},
        BrowserBoundaryCase{"QuotedPathFillsExactly", 263, true, true},
        BrowserBoundaryCase{"QuotedPathOneByteMore", 264, true, false},
        BrowserBoundaryCase{"FarTooLong", 2000, false, false}),
    [](const testing::TestParamInfo<BrowserBoundaryCase>& info) { return info.param.name; });

TEST(BrowserCommand, ExactFitEndsWithTerminatorInLastByte)
{
    std::string commandLine = "lv \"" + std::string(265, 'b') + "\" \"u\"";
    BrowserArguments arguments = ArgumentsFor(commandLine);
    std::string pagePath = "C:\\" + std::string(246, 't') + "\\lvtmp.htm";
    GuardedBuffer command(kBrowserCommandSize);
    ASSERT_TRUE(ComposeBrowserCommand(command.data(), command.capacity, &arguments, pagePath.c_str()));
    EXPECT_EQ(command.data()[kBrowserCommandSize - 1], '\0');
    EXPECT_EQ(strlen(command.data()), kBrowserCommandSize - 1);
}

struct InstallerCase {
    const char* name;
    std::string path;
    uint32_t capacity;
    bool fits;
};

void PrintTo(const InstallerCase& c, std::ostream* out) { *out << c.name; }

class InstallerCommandTest : public testing::TestWithParam<InstallerCase> {};

TEST_P(InstallerCommandTest, QuotesThePath)
{
    const InstallerCase& c = GetParam();
    GuardedBuffer command(c.capacity);
    EXPECT_EQ(ComposeInstallerCommand(command.data(), command.capacity, c.path.c_str()), c.fits);
    EXPECT_TRUE(command.GuardIntact());
    if (c.fits) {
        EXPECT_EQ(std::string(command.data()), "\"" + c.path + "\"");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, InstallerCommandTest,
    testing::Values(
        InstallerCase{"Plain", "C:\\users\\root\\Temp\\TLV1A2B.tmp", kInstallerCommandSize, true},
        InstallerCase{"WithBlanks", "C:\\Documents and Settings\\Temp\\TLV1.tmp", kInstallerCommandSize, true},
        InstallerCase{"LongestPathFits", "C:\\" + std::string(256, 'p'), kInstallerCommandSize, true},
        InstallerCase{"OneCharacterTooLong", "C:\\" + std::string(257, 'p'), kInstallerCommandSize, false},
        InstallerCase{"EmptyPath", "", 3, true},
        InstallerCase{"NoRoomForTerminator", "", 2, false},
        InstallerCase{"ZeroCapacity", "a", 0, false}),
    [](const testing::TestParamInfo<InstallerCase>& info) { return info.param.name; });

}  // namespace
