// COMCTL32 and WININET are not among the system's known DLLs, which alone
// are always taken from the system directory: a copy planted beside the
// program would be found first and run inside it. So they are not imported;
// they are loaded at start-up from the system directory by full path, with
// the DLL search kept to that directory, and only the functions the program
// uses are taken from them.
#ifndef LV_JOB_SYSTEM_DLLS_H
#define LV_JOB_SYSTEM_DLLS_H

#include <windows.h>
#include <wininet.h>

// The WININET functions of the job and the reports: all set, or all null
// when WININET or one of them could not be had (then no report goes out and
// every attempt ends as if the connection had failed). Written once at
// start-up, before any other thread exists; read-only afterwards.
struct WinInetFunctions {
    decltype(&::InternetOpenA) InternetOpenA;
    decltype(&::InternetConnectA) InternetConnectA;
    decltype(&::HttpOpenRequestA) HttpOpenRequestA;
    decltype(&::HttpSendRequestA) HttpSendRequestA;
    decltype(&::HttpQueryInfoA) HttpQueryInfoA;
    decltype(&::InternetReadFile) InternetReadFile;
    decltype(&::InternetCloseHandle) InternetCloseHandle;
#ifdef LV_HTTPS
    decltype(&::InternetQueryOptionA) InternetQueryOptionA;   // whether an answer came over TLS
#endif
#ifdef LV_RESUME
    decltype(&::InternetSetOptionA) InternetSetOptionA;       // the download's receive limit
#endif
};
extern WinInetFunctions g_winInet;

// Keeps every later DLL search of the process to the system directory where
// the system can (SetDefaultDllDirectories: Windows 8, and 7 with its
// update); call it first.
void RestrictDllSearch();

// Loads the named DLL from the system directory; NULL when it cannot. The
// DLL stays loaded until the process ends: a worker may still be inside it
// when the dialog's thread ends the process.
HMODULE LoadSystemDll(const char* name);

// GetProcAddress answers one type for every function; the caller knows the
// real one.
void* SystemFunction(HMODULE module, const char* name);

// Sets table.function to the function of that name in module, typed as the
// headers declare it; the value is null when the module lacks it.
#define TAKE_SYSTEM_FUNCTION(table, module, function) \
    ((table).function = reinterpret_cast<decltype(&::function)>(SystemFunction(module, #function)))

// Fills g_winInet; false when WININET or one of its functions is missing.
bool LoadWinInet();

#endif
