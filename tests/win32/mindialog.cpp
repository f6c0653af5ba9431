// mindialog: the smallest dialog program, the yardstick for the downloader's
// start-up in `make bench`. No C runtime, USER32 and KERNEL32 only: it shows
// a dialog as large as the downloader's, with the same caption and no
// controls, from a template in memory, and closes itself 300 ms after it
// was created.
#include <windows.h>

static const UINT_PTR CLOSE_TIMER = 1;

// A standard DLGTEMPLATE followed by its menu, class and caption; every
// field after the two DWORDs is a WORD, so the layout has no gaps.
struct DialogTemplate {
    DWORD style;
    DWORD extendedStyle;
    WORD controls;
    short x, y, width, height;
    WORD menu;
    WORD windowClass;
    WCHAR caption[17];
};

static const DialogTemplate TEMPLATE = {
    WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, 0,
    0, 22, 17, 230, 100,
    0, 0,
    L"Lumenvast Player",
};

static INT_PTR CALLBACK MinDialogProc(HWND dialog, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SetTimer(dialog, CLOSE_TIMER, 300, NULL);
        return TRUE;
    case WM_TIMER:
    case WM_CLOSE:
        DestroyWindow(dialog);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

extern "C" void WINAPI MinDialogMain()
{
    if (CreateDialogIndirectParamA(GetModuleHandleA(NULL),
                                   reinterpret_cast<LPCDLGTEMPLATEA>(&TEMPLATE), NULL,
                                   MinDialogProc, 0)) {
        MSG message;
        while (GetMessageA(&message, NULL, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    ExitProcess(0);
}
