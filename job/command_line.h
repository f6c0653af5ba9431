// The downloader's command line and the command lines it composes, free of
// Windows so that it can be tested and fuzzed natively.
//
// Format: program name (quoted, or unquoted and ended by a blank), then two
// quoted arguments, the browser command and the URL. Only the space counts as
// a blank; there is no escape, so neither argument can hold a double quote.
#ifndef LV_JOB_COMMAND_LINE_H
#define LV_JOB_COMMAND_LINE_H

#include <stdint.h>

struct BrowserArguments {
    const char* browser;      // the browser command with its two quotes
    uint32_t browserLength;   // at least 2
    const char* url;          // the URL without its quotes, not terminated
    uint32_t urlLength;
};

// Parses the whole command line; false when it does not follow the format.
// The pointers in the result point into the command line itself.
bool ParseBrowserArguments(const char* commandLine, BrowserArguments* arguments);

// Writes directory, a backslash when it does not end in one, and name,
// terminated. False, with nothing promised about the buffer, when the path
// does not fit into capacity bytes.
bool ComposePathInDirectory(char* destination, uint32_t capacity, const char* directory,
                            const char* name);

// The redirect page's path: ComposePathInDirectory with "lvtmp.htm".
bool ComposePagePath(char* destination, uint32_t capacity, const char* tempDirectory);

// Writes the browser command, a blank and the page path, the path quoted
// when it holds a blank. False when the command does not fit.
bool ComposeBrowserCommand(char* destination, uint32_t capacity,
                           const BrowserArguments* arguments, const char* pagePath);

// Writes the installer's path in quotes, so that a blank in it cannot make
// the system run a program at a prefix of the path. False when it does not fit.
bool ComposeInstallerCommand(char* destination, uint32_t capacity, const char* path);

#endif
