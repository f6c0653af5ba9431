#include "job/command_line.h"

static const char* SkipBlanks(const char* p)
{
    while (*p == ' ')
        ++p;
    return p;
}

// At an opening double quote: returns the closing quote, or null when the
// text ends first.
static const char* FindClosingQuote(const char* openingQuote)
{
    const char* p = openingQuote + 1;
    while (*p != '\0' && *p != '"')
        ++p;
    return *p == '"' ? p : nullptr;
}

bool ParseBrowserArguments(const char* commandLine, BrowserArguments* arguments)
{
    const char* p = SkipBlanks(commandLine);
    if (*p == '\0')
        return false;
    if (*p == '"') {
        p = FindClosingQuote(p);
        if (!p)
            return false;
        ++p;
    } else {
        while (*p != '\0' && *p != ' ')
            ++p;
        if (*p == '\0')  // the blank that ends an unquoted name must be there
            return false;
    }

    p = SkipBlanks(p);
    if (*p != '"')
        return false;
    const char* browserEnd = FindClosingQuote(p);
    if (!browserEnd)
        return false;
    arguments->browser = p;
    arguments->browserLength = static_cast<uint32_t>(browserEnd - p + 1);

    p = SkipBlanks(browserEnd + 1);
    if (*p != '"')
        return false;
    const char* urlEnd = FindClosingQuote(p);
    if (!urlEnd)
        return false;
    arguments->url = p + 1;
    arguments->urlLength = static_cast<uint32_t>(urlEnd - p - 1);
    return true;
}

// A bounded writer: pieces are appended while they fit, and the writer
// remembers whether anything was cut.
struct BoundedText {
    char* destination;
    uint32_t capacity;   // bytes, terminator included
    uint32_t length;
    bool overflowed;
};

static void AppendBytes(BoundedText* text, const char* bytes, uint32_t count)
{
    if (text->overflowed || count >= text->capacity - text->length) {
        text->overflowed = true;
        return;
    }
    for (uint32_t i = 0; i < count; ++i)
        text->destination[text->length + i] = bytes[i];
    text->length += count;
}

static void AppendText(BoundedText* text, const char* source)
{
    uint32_t count = 0;
    while (source[count] != '\0')
        ++count;
    AppendBytes(text, source, count);
}

static bool Terminate(BoundedText* text)
{
    // AppendBytes always leaves room for this byte.
    if (text->overflowed || text->capacity == 0)
        return false;
    text->destination[text->length] = '\0';
    return true;
}

static bool HasBlank(const char* text)
{
    for (; *text != '\0'; ++text)
        if (*text == ' ')
            return true;
    return false;
}

bool ComposePathInDirectory(char* destination, uint32_t capacity, const char* directory,
                            const char* name)
{
    BoundedText text = {destination, capacity, 0, capacity == 0};
    AppendText(&text, directory);
    if (text.length == 0 || destination[text.length - 1] != '\\')
        AppendBytes(&text, "\\", 1);
    AppendText(&text, name);
    return Terminate(&text);
}

bool ComposePagePath(char* destination, uint32_t capacity, const char* tempDirectory)
{
    return ComposePathInDirectory(destination, capacity, tempDirectory, "lvtmp.htm");
}

bool ComposeBrowserCommand(char* destination, uint32_t capacity,
                           const BrowserArguments* arguments, const char* pagePath)
{
    BoundedText text = {destination, capacity, 0, capacity == 0};
    AppendBytes(&text, arguments->browser, arguments->browserLength);
    AppendBytes(&text, " ", 1);
    bool quoted = HasBlank(pagePath);
    if (quoted)
        AppendBytes(&text, "\"", 1);
    AppendText(&text, pagePath);
    if (quoted)
        AppendBytes(&text, "\"", 1);
    return Terminate(&text);
}

bool ComposeInstallerCommand(char* destination, uint32_t capacity, const char* path)
{
    BoundedText text = {destination, capacity, 0, capacity == 0};
    AppendBytes(&text, "\"", 1);
    AppendText(&text, path);
    AppendBytes(&text, "\"", 1);
    return Terminate(&text);
}
