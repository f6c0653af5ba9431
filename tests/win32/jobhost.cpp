// jobhost: runs download jobs against a hidden window and prints every job
// event it receives, one line each, as the dialog would receive them:
//   PROGRESS <bytes> <total>
//   INSTALLING
//   FINISHED <code>
//   EXIT <thread exit code>
// Usage: jobhost [--attempts N]   (N attempts one after the other; default 1)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "job/download_job.h"
#include "job/system_dlls.h"

static void Print(const char* format, unsigned long a, unsigned long b)
{
    printf(format, a, b);
    fflush(stdout);
}

static LRESULT CALLBACK EventWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WMU_PROGRESS:
        Print("PROGRESS %lu %lu\n", static_cast<unsigned long>(wParam), static_cast<unsigned long>(lParam));
        return 0;
    case WMU_INSTALLING:
        Print("INSTALLING\n", 0, 0);
        return 0;
    case WMU_FINISHED:
        Print("FINISHED %lu\n", static_cast<unsigned long>(wParam), 0);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int main(int argc, char** argv)
{
    int attempts = 1;
    if (argc == 3 && strcmp(argv[1], "--attempts") == 0)
        attempts = atoi(argv[2]);
    // As the downloader's start-up does.
    RestrictDllSearch();
    LoadWinInet();

    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = EventWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "LvJobHost";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("LvJobHost", "jobhost", 0, 0, 0, 0, 0, NULL, NULL,
                                windowClass.hInstance, NULL);
    if (!window) {
        fputs("cannot create the event window\n", stderr);
        return 2;
    }

    for (int i = 0; i < attempts; ++i) {
        DWORD threadId;
        HANDLE thread = CreateThread(NULL, 0, DownloadThread, window, 0, &threadId);
        if (!thread) {
            fputs("cannot start the job\n", stderr);
            return 2;
        }
        MSG message;
        while (GetMessageA(&message, NULL, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        WaitForSingleObject(thread, INFINITE);
        DWORD exitCode = 0;
        GetExitCodeThread(thread, &exitCode);
        CloseHandle(thread);
        Print("EXIT %lu\n", static_cast<unsigned long>(exitCode), 0);
    }
#ifdef LV_RESUME
    // As the dialog does when the run ends after an error view.
    DiscardKeptDownload();
#endif
    DestroyWindow(window);
    return 0;
}
