// The temporary folder, named so that the ANSI entry points can use it.
//
// GetTempPathA gives the folder in the system's ANSI code page. A user whose
// profile folder is named in another script (a Cyrillic name on a Western
// system) gets a path whose letters became '?' or look-alikes, which names
// no folder at all: every attempt would fail as if the disk were full. On
// the NT line such a folder is reached by its short name instead, which is
// plain ANSI. The wide entry points are looked up, not imported, so that the
// program still starts on Windows 95.
#include <windows.h>

#include "job/download_job.h"
#include "job/system_dlls.h"

typedef DWORD(WINAPI* GetTempPathWFunction)(DWORD length, LPWSTR buffer);
typedef DWORD(WINAPI* GetShortPathNameWFunction)(LPCWSTR longPath, LPWSTR shortPath,
                                                 DWORD length);

// Whether the ANSI text converts back to exactly the wide one: a character
// that the code page lacks comes back as '?' or as a look-alike.
static bool NamesTheSame(const char* ansi, const WCHAR* wide)
{
    WCHAR back[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, back, MAX_PATH) == 0)
        return false;
    for (int i = 0; back[i] == wide[i]; ++i)
        if (wide[i] == 0)
            return true;
    return false;
}

static bool OnNtLine()
{
    OSVERSIONINFOA info;
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

DWORD GetTempFolder(char* path)
{
    DWORD length = GetTempPathA(MAX_PATH, path);
    if (length == 0 || length >= MAX_PATH || !OnNtLine())
        return length;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    GetTempPathWFunction getTempPathW =
        reinterpret_cast<GetTempPathWFunction>(SystemFunction(kernel, "GetTempPathW"));
    GetShortPathNameWFunction getShortPathNameW = reinterpret_cast<GetShortPathNameWFunction>(
        SystemFunction(kernel, "GetShortPathNameW"));
    if (!getTempPathW || !getShortPathNameW)
        return length;
    WCHAR wide[MAX_PATH];
    DWORD wideLength = getTempPathW(MAX_PATH, wide);
    if (wideLength == 0 || wideLength >= MAX_PATH || NamesTheSame(path, wide))
        return length;
    // Where short names are switched off, the short name is the long one,
    // which the code page cannot hold either.
    WCHAR shortName[MAX_PATH];
    DWORD shortLength = getShortPathNameW(wide, shortName, MAX_PATH);
    if (shortLength == 0 || shortLength >= MAX_PATH)
        return 0;
    int size = WideCharToMultiByte(CP_ACP, 0, shortName, -1, path, MAX_PATH, NULL, NULL);
    if (size == 0 || !NamesTheSame(path, shortName))
        return 0;
    return static_cast<DWORD>(size - 1);
}
