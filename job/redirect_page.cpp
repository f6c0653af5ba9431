#include <windows.h>

#include "job/command_line.h"
#include "job/download_job.h"

// The page is exactly these 43 bytes, the URL as it stands on the command
// line, and the 2 closing bytes: no line break, no other markup.
static const char PAGE_HEAD[] = "<META HTTP-EQUIV=\"REFRESH\" CONTENT=\"0; URL=";
static const char PAGE_TAIL[] = "\">";
static const DWORD BROWSER_COMMAND_SIZE = 528;

static bool WriteAll(HANDLE file, const void* bytes, DWORD count)
{
    DWORD written = 0;
    return WriteFile(file, bytes, count, &written, NULL) && written == count;
}

bool LaunchRedirectPage()
{
    BrowserArguments arguments;
    if (!ParseBrowserArguments(GetCommandLineA(), &arguments))
        return false;

    char tempDirectory[MAX_PATH];
    char pagePath[MAX_PATH];
    char command[BROWSER_COMMAND_SIZE];
    DWORD length = GetTempFolder(tempDirectory);
    // A command that would not fit is given up rather than cut: a cut
    // command would start the browser on a wrong path.
    if (length == 0 || length >= sizeof tempDirectory ||
        !ComposePagePath(pagePath, sizeof pagePath, tempDirectory) ||
        !ComposeBrowserCommand(command, sizeof command, &arguments, pagePath))
        return false;

    // CREATE_ALWAYS replaces the page of an earlier run.
    HANDLE page = CreateFileA(pagePath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY, NULL);
    if (page == INVALID_HANDLE_VALUE)
        return false;
    bool written = WriteAll(page, PAGE_HEAD, sizeof PAGE_HEAD - 1) &&
                   WriteAll(page, arguments.url, arguments.urlLength) &&
                   WriteAll(page, PAGE_TAIL, sizeof PAGE_TAIL - 1);
    CloseHandle(page);
    if (!written)
        return false;

    // Started and left alone: the browser is never waited for.
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    return true;
}
