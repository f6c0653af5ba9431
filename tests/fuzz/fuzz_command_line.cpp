// The command-line parser on any text, and the browser command composed from
// what it finds into the step's 528-byte buffer.
//
// Input: a temporary directory (at most 259 bytes) up to the first newline,
// then the command line.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "job/command_line.h"

static const uint32_t kPagePathSize = 260;
static const uint32_t kBrowserCommandSize = 528;
static const size_t kGuardSize = 32;
static const char kGuard = '\xA5';

static void Require(bool condition)
{
    if (!condition)
        abort();
}

static bool GuardIntact(const std::vector<char>& buffer, size_t capacity)
{
    for (size_t i = capacity; i < buffer.size(); ++i)
        if (buffer[i] != kGuard)
            return false;
    return true;
}

static bool HoldsQuote(const char* text, size_t length)
{
    return memchr(text, '"', length) != nullptr;
}

// The format read with std::string searches, to compare the parser with:
// where the browser command starts (at its opening quote) and ends (after
// its closing quote), and where the URL starts and ends (inside its quotes).
struct Pieces {
    size_t browserBegin, browserEnd, urlBegin, urlEnd;
};

static bool ReferenceParse(const std::string& line, Pieces* pieces)
{
    size_t i = line.find_first_not_of(' ');
    if (i == std::string::npos)
        return false;
    size_t close = line[i] == '"' ? line.find('"', i + 1) : line.find(' ', i);
    if (close == std::string::npos)
        return false;
    i = line[i] == '"' ? close + 1 : close;

    i = line.find_first_not_of(' ', i);
    if (i == std::string::npos || line[i] != '"')
        return false;
    close = line.find('"', i + 1);
    if (close == std::string::npos)
        return false;
    pieces->browserBegin = i;
    pieces->browserEnd = close + 1;

    i = line.find_first_not_of(' ', close + 1);
    if (i == std::string::npos || line[i] != '"')
        return false;
    close = line.find('"', i + 1);
    if (close == std::string::npos)
        return false;
    pieces->urlBegin = i + 1;
    pieces->urlEnd = close;
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* input = reinterpret_cast<const char*>(data);
    const char* newline = static_cast<const char*>(memchr(input, '\n', size));
    std::string directory = newline ? std::string(input, newline) : std::string();
    std::string commandLine = newline ? std::string(newline + 1, input + size) : std::string(input, size);
    // Both are zero-terminated texts for their callers: they end at a zero byte.
    directory.resize(strnlen(directory.c_str(), directory.size()));
    commandLine.resize(strnlen(commandLine.c_str(), commandLine.size()));
    if (directory.size() > kPagePathSize - 1)
        directory.resize(kPagePathSize - 1);

    // The parser gets a heap copy of exactly the text and its terminator.
    std::vector<char> text(commandLine.begin(), commandLine.end());
    text.push_back('\0');
    text.shrink_to_fit();
    const char* begin = text.data();
    const char* end = begin + commandLine.size();

    Pieces pieces;
    bool accepted = ReferenceParse(commandLine, &pieces);
    BrowserArguments arguments;
    Require(ParseBrowserArguments(begin, &arguments) == accepted);
    if (!accepted)
        return 0;
    Require(arguments.browser == begin + pieces.browserBegin &&
            arguments.browserLength == pieces.browserEnd - pieces.browserBegin);
    Require(arguments.url == begin + pieces.urlBegin &&
            arguments.urlLength == pieces.urlEnd - pieces.urlBegin);

    // The browser command with its quotes, and the URL between its quotes,
    // both inside the command line and with no quote inside.
    Require(arguments.browserLength >= 2);
    Require(arguments.browser >= begin && arguments.browser + arguments.browserLength <= end);
    Require(arguments.browser[0] == '"' && arguments.browser[arguments.browserLength - 1] == '"');
    Require(!HoldsQuote(arguments.browser + 1, arguments.browserLength - 2));
    Require(arguments.url > arguments.browser + arguments.browserLength - 1);
    Require(arguments.url + arguments.urlLength < end);
    Require(arguments.url[-1] == '"' && arguments.url[arguments.urlLength] == '"');
    Require(!HoldsQuote(arguments.url, arguments.urlLength));
    // Only blanks between the browser command and the URL.
    for (const char* p = arguments.browser + arguments.browserLength; p < arguments.url - 1; ++p)
        Require(*p == ' ');

    std::vector<char> pagePath(kPagePathSize + kGuardSize, kGuard);
    bool needsBackslash = directory.empty() || directory.back() != '\\';
    std::string expectedPath = directory + (needsBackslash ? "\\" : "") + "lvtmp.htm";
    bool pathFits = expectedPath.size() < kPagePathSize;
    Require(ComposePagePath(pagePath.data(), kPagePathSize, directory.c_str()) == pathFits);
    Require(GuardIntact(pagePath, kPagePathSize));
    if (!pathFits)
        return 0;
    Require(expectedPath == pagePath.data());

    std::vector<char> command(kBrowserCommandSize + kGuardSize, kGuard);
    bool quoted = expectedPath.find(' ') != std::string::npos;
    std::string expected = std::string(arguments.browser, arguments.browserLength) + " " +
                           (quoted ? "\"" + expectedPath + "\"" : expectedPath);
    bool fits = expected.size() < kBrowserCommandSize;
    Require(ComposeBrowserCommand(command.data(), kBrowserCommandSize, &arguments, pagePath.data()) == fits);
    Require(GuardIntact(command, kBrowserCommandSize));
    if (fits)
        Require(expected == command.data());
    return 0;
}
