// A DLL planted beside the downloader under the name of a DLL that is not
// among the system's known ones. Should it ever be loaded, its start-up
// appends its own path to the file named by LVTEST_PLANTED_LOG.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    char log[MAX_PATH];
    char line[MAX_PATH + 2];
    if (reason != DLL_PROCESS_ATTACH ||
        GetEnvironmentVariableA("LVTEST_PLANTED_LOG", log, sizeof log) == 0)
        return TRUE;
    DWORD length = GetModuleFileNameA(instance, line, MAX_PATH);
    line[length++] = '\r';
    line[length++] = '\n';
    HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, line, length, &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}
