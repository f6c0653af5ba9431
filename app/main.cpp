#include <windows.h>
#include <commctrl.h>

#include "app/dialog.h"
#include "job/system_dlls.h"
#include "res/resource.h"

static const char INSTANCE_MUTEX_NAME[] = "Lumenvast Download Mutex";

// The process's entry point: no C runtime start-up runs before it.
extern "C" DWORD WINAPI DownloaderMain()
{
    MSG message;
    ZeroMemory(&message, sizeof message);   // its wParam is the exit code on every path

    // Before any DLL is loaded at run time: nothing planted beside the
    // program may be taken for a system DLL.
    RestrictDllSearch();

    // The mutex is never owned: its existence alone marks a running instance.
    HANDLE instanceMutex = CreateMutexA(NULL, FALSE, INSTANCE_MUTEX_NAME);
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
        // A WININET that cannot be had fails each attempt at its connection.
        LoadWinInet();
        INITCOMMONCONTROLSEX controls;
        controls.dwSize = sizeof controls;
        controls.dwICC = ICC_PROGRESS_CLASS;
        HMODULE commonControls = LoadSystemDll("comctl32.dll");
        decltype(&InitCommonControlsEx) initCommonControlsEx =
            commonControls ? reinterpret_cast<decltype(&InitCommonControlsEx)>(
                                 SystemFunction(commonControls, "InitCommonControlsEx"))
                           : NULL;
        if (!initCommonControlsEx || !initCommonControlsEx(&controls)) {
            if (instanceMutex)
                CloseHandle(instanceMutex);
            return 0;
        }
        // Without a dialog nothing would ever post WM_QUIT: end instead of
        // waiting for ever with the mutex held.
        if (CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_DOWNLOAD), NULL,
                               DownloadDlgProc, 0)) {
            // No IsDialogMessageA: the dialog has no keyboard handling of its own.
            while (GetMessageA(&message, NULL, 0, 0)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
    }
    if (instanceMutex)
        CloseHandle(instanceMutex);
    ExitProcess(static_cast<UINT>(message.wParam));
}
