#include "job/system_dlls.h"

#include "job/command_line.h"

// From the Windows 8 headers, which older systems' headers lack.
static const DWORD SEARCH_SYSTEM32_ONLY = 0x00000800;   // LOAD_LIBRARY_SEARCH_SYSTEM32
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD directoryFlags);

WinInetFunctions g_winInet;

// Set when SetDefaultDllDirectories took effect: DLLs and their own
// dependencies then come from the system directory whatever the flags.
static bool g_searchRestricted = false;

void* SystemFunction(HMODULE module, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(module, name));
}

void RestrictDllSearch()
{
    // Looked up, not imported, so that Windows 95 to 7 still start. Test
    // builds for the older path act as if it were missing.
#ifndef LV_WITHOUT_DEFAULT_DLL_DIRECTORIES
    SetDefaultDllDirectoriesFunction setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(
            SystemFunction(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories"));
    g_searchRestricted = setDefaultDllDirectories &&
                         setDefaultDllDirectories(SEARCH_SYSTEM32_ONLY) != FALSE;
#endif
}

HMODULE LoadSystemDll(const char* name)
{
    char directory[MAX_PATH];
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(directory, sizeof directory);
    if (length == 0 || length >= sizeof directory ||
        !ComposePathInDirectory(path, sizeof path, directory, name))
        return NULL;
    // Without the restriction, the altered search order takes the DLL's own
    // dependencies from its folder, the system directory, before anything
    // beside the program.
    return LoadLibraryExA(path, NULL, g_searchRestricted ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

#define TAKE(table, module, function) TAKE_SYSTEM_FUNCTION(table, module, function)

bool LoadWinInet()
{
    HMODULE module = LoadSystemDll("wininet.dll");
    if (!module)
        return false;
    WinInetFunctions functions;
    if (TAKE(functions, module, InternetOpenA) && TAKE(functions, module, InternetConnectA) &&
        TAKE(functions, module, HttpOpenRequestA) && TAKE(functions, module, HttpSendRequestA) &&
        TAKE(functions, module, HttpQueryInfoA) && TAKE(functions, module, InternetReadFile) &&
        TAKE(functions, module, InternetCloseHandle)
#ifdef LV_HTTPS
        && TAKE(functions, module, InternetQueryOptionA)
#endif
#ifdef LV_RESUME
        && TAKE(functions, module, InternetSetOptionA)
#endif
    ) {
        g_winInet = functions;
        return true;
    }
    return false;
}
