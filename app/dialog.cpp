#include <windows.h>
#include <commctrl.h>

#include "app/dialog.h"
#include "job/download_job.h"
#include "job/progress_math.h"
#include "report/report.h"
#include "res/resource.h"

static const UINT SHOW_FLAGS = SWP_SHOWWINDOW | SWP_NOZORDER | SWP_NOMOVE | SWP_NOSIZE;   // 0x47
static const UINT HIDE_FLAGS = SWP_HIDEWINDOW | SWP_NOZORDER | SWP_NOMOVE | SWP_NOSIZE;   // 0x87

// True while the error view shows Try Again and Cancel; read and written by
// the dialog's thread only. Hiding a button leaves it the keyboard focus, so
// a Space in a later view would still click it: its commands count only
// while it shows, and attempts can never overlap.
static bool g_buttonsShown = false;

static void ShowControl(HWND dialog, int id, UINT flags)
{
    SetWindowPos(GetDlgItem(dialog, id), NULL, 0, 0, 0, 0, flags);
}

void ShowDownloadView(HWND dialog)
{
    // The message keeps its text and the bar its position.
    ShowControl(dialog, IDC_DOWNLOAD_TEXT, SHOW_FLAGS);
    ShowControl(dialog, IDC_PROMO_TEXT, SHOW_FLAGS);
    ShowControl(dialog, IDC_PROGRESS, SHOW_FLAGS);
    ShowControl(dialog, IDC_MESSAGE, HIDE_FLAGS);
    ShowControl(dialog, IDCANCEL, HIDE_FLAGS);
    ShowControl(dialog, IDOK, HIDE_FLAGS);
    g_buttonsShown = false;
}

// The installing and error views differ only in the text and the buttons.
static void ShowMessageView(HWND dialog, UINT textId, UINT buttonFlags)
{
    char text[256];
    ShowControl(dialog, IDC_DOWNLOAD_TEXT, HIDE_FLAGS);
    ShowControl(dialog, IDC_PROMO_TEXT, HIDE_FLAGS);
    ShowControl(dialog, IDC_PROGRESS, HIDE_FLAGS);
    // String ids are 16-bit and LoadStringA would take a larger code for its
    // low word, showing another code's text: such codes have no text.
    text[0] = '\0';
    if (textId <= 0xFFFF && LoadStringA(GetModuleHandleA(NULL), textId, text, sizeof text) == 0)
        text[0] = '\0';
    SendMessageA(GetDlgItem(dialog, IDC_MESSAGE), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    ShowControl(dialog, IDC_MESSAGE, SHOW_FLAGS);
    ShowControl(dialog, IDCANCEL, buttonFlags);
    ShowControl(dialog, IDOK, buttonFlags);
    g_buttonsShown = buttonFlags == SHOW_FLAGS;
}

void ShowInstallingView(HWND dialog)
{
    ShowMessageView(dialog, IDS_INSTALLING, HIDE_FLAGS);
}

void ShowErrorView(HWND dialog, UINT textId)
{
    ShowMessageView(dialog, textId, SHOW_FLAGS);
}

// Centred on the desktop window's whole rectangle, not the work area.
static void CentreOnDesktop(HWND dialog)
{
    RECT desktop;
    RECT own;
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(dialog, &own);
    int x = (desktop.left + desktop.right + own.left - own.right) / 2;
    int y = (desktop.top + desktop.bottom + own.top - own.bottom) / 2;
    SetWindowPos(dialog, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

// Nobody waits for a job: it runs to its end or the process exits under it.
static void StartJob(HWND dialog)
{
    DWORD threadId;   // Windows 9x refuses a null thread-id pointer
    HANDLE thread = CreateThread(NULL, 0, DownloadThread, dialog, 0, &threadId);
    if (thread)
        CloseHandle(thread);
}

INT_PTR CALLBACK DownloadDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        CentreOnDesktop(dialog);
        StartJob(dialog);
        return TRUE;
    case WM_COMMAND:
        if (!g_buttonsShown)
            return FALSE;
        if (LOWORD(wParam) == IDOK) {
            ShowDownloadView(dialog);
            StartJob(dialog);
        } else if (LOWORD(wParam) == IDCANCEL) {
#ifdef LV_RESUME
            DiscardKeptDownload();
#endif
            DestroyWindow(dialog);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
#ifdef LV_RESUME
        // Only the error view's attempt is over; one still downloading
        // keeps its file, as it would in any build.
        if (g_buttonsShown)
            DiscardKeptDownload();
#endif
        // The window stays up until the report exchange has ended.
        SendCancelReport();
        DestroyWindow(dialog);
        return FALSE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    case WMU_PROGRESS: {
        uint32_t position;
        if (BarPosition(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam), &position))
            SendMessageA(GetDlgItem(dialog, IDC_PROGRESS), PBM_SETPOS, position, 0);
        return TRUE;
    }
    case WMU_FINISHED:
        if (wParam == RESULT_SUCCESS) {
            DestroyWindow(dialog);
        } else {
            ShowErrorView(dialog, static_cast<UINT>(wParam));
            SetForegroundWindow(dialog);
        }
        return TRUE;
    case WMU_INSTALLING:
        ShowInstallingView(dialog);
        return TRUE;
    }
    return FALSE;
}
