// uidriver: looks at and works the running downloader's dialog the way a
// user would, for the tests. It finds the dialog by its caption.
//   uidriver state                 print what the dialog shows, as JSON
//   uidriver wait [SECONDS]        wait for the dialog, then print its state
//   uidriver wait-gone [SECONDS]   wait until no such dialog is left
//   uidriver count                 print how many such dialogs exist
//   uidriver click ID              click the button with that control id
//   uidriver close                 the close box (WM_SYSCOMMAND SC_CLOSE)
//   uidriver key VK                press and release a key in the focused control
//   uidriver send MSG WPARAM LPARAM   SendMessage to the dialog, print the answer
//   uidriver post MSG WPARAM LPARAM   PostMessage to the dialog
//   uidriver fit CODE...           how much room each text needs in its control, with
//                                  the control's own font: the download view's texts,
//                                  the buttons' labels, then the message of each code
//                                  (shown with WMU_FINISHED), as JSON
// Numbers may be decimal or 0x-hexadecimal. Exit code 1 when the dialog
// is not there (or, for wait-gone, still there).
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char CAPTION[] = "Lumenvast Player";
static const char DIALOG_CLASS[] = "#32770";

static HWND FindDialog()
{
    return FindWindowA(DIALOG_CLASS, CAPTION);
}

static unsigned long Number(const char* text)
{
    return strtoul(text, NULL, 0);
}

static void PrintJsonText(const char* text)
{
    putchar('"');
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '"' || *p == '\\')
            printf("\\%c", *p);
        else if (*p < 0x20 || *p >= 0x7f)
            printf("\\u%04x", *p);
        else
            putchar(*p);
    }
    putchar('"');
}

static void PrintRect(const RECT& r)
{
    printf("[%ld, %ld, %ld, %ld]", r.left, r.top, r.right, r.bottom);
}

struct ChildList {
    HWND windows[64];
    int count;
};

static BOOL CALLBACK CollectChild(HWND window, LPARAM list)
{
    ChildList* children = reinterpret_cast<ChildList*>(list);
    if (GetParent(window) == GetAncestor(window, GA_PARENT) && children->count < 64)
        children->windows[children->count++] = window;
    return TRUE;
}

static int PrintState(HWND dialog)
{
    RECT own;
    RECT desktop;
    GetWindowRect(dialog, &own);
    GetWindowRect(GetDesktopWindow(), &desktop);
    DWORD thread = GetWindowThreadProcessId(dialog, NULL);
    GUITHREADINFO gui;
    ZeroMemory(&gui, sizeof gui);
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(thread, &gui);
    char caption[256];
    GetWindowTextA(dialog, caption, sizeof caption);

    DWORD_PTR position = 0;
    BOOL responding = SendMessageTimeoutA(GetDlgItem(dialog, 1000), PBM_GETPOS, 0, 0,
                                          SMTO_ABORTIFHUNG, 2000, &position) != 0;

    printf("{\"found\": true, \"caption\": ");
    PrintJsonText(caption);
    printf(", \"style\": %lu, \"window\": ", static_cast<unsigned long>(GetWindowLongA(dialog, GWL_STYLE)));
    PrintRect(own);
    printf(", \"desktop\": ");
    PrintRect(desktop);
    printf(", \"visible\": %s, \"foreground\": %s, \"responding\": %s, \"progress\": %lu",
           IsWindowVisible(dialog) ? "true" : "false",
           GetForegroundWindow() == dialog ? "true" : "false", responding ? "true" : "false",
           static_cast<unsigned long>(position));
    printf(", \"focus\": %d", gui.hwndFocus ? GetDlgCtrlID(gui.hwndFocus) : 0);
    printf(", \"controls\": [");

    ChildList children;
    children.count = 0;
    EnumChildWindows(dialog, CollectChild, reinterpret_cast<LPARAM>(&children));
    for (int i = 0; i < children.count; ++i) {
        HWND child = children.windows[i];
        char className[64];
        char text[512];
        RECT rect;
        GetClassNameA(child, className, sizeof className);
        GetWindowTextA(child, text, sizeof text);
        GetWindowRect(child, &rect);
        LONG style = GetWindowLongA(child, GWL_STYLE);
        printf("%s{\"id\": %d, \"class\": ", i ? ", " : "", static_cast<short>(GetDlgCtrlID(child)));
        PrintJsonText(className);
        printf(", \"text\": ");
        PrintJsonText(text);
        printf(", \"style\": %lu, \"visible\": %s, \"rect\": ", static_cast<unsigned long>(style),
               (style & WS_VISIBLE) ? "true" : "false");
        PrintRect(rect);
        printf("}");
    }
    printf("]}\n");
    return 0;
}

// The text of a control, laid out as the control lays it out, in its own
// font: a static one wraps at word breaks (DrawText, as SS_LEFT draws), a
// button holds one line. Width and height are the text's; room is the
// control's client area.
static void PrintFit(HWND dialog, int id, unsigned long code, bool first)
{
    HWND control = GetDlgItem(dialog, id);
    wchar_t text[512];
    char className[16];
    GetWindowTextW(control, text, 512);
    GetClassNameA(control, className, sizeof className);
    bool button = lstrcmpiA(className, "Button") == 0;
    RECT room;
    GetClientRect(control, &room);
    HDC dc = GetDC(control);
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    // Wrapped within the width the test gives it; DT_CALCRECT widens the
    // rectangle where one word is wider than that.
    RECT needed = {0, 0, 0, 0};
    int width = room.right - room.left;
    int inner = width * 9 / 10;
    needed.right = inner;
    DrawTextW(dc, text, -1, &needed,
              DT_CALCRECT | (button ? DT_SINGLELINE : DT_WORDBREAK | DT_EXPANDTABS));
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    char utf8[1024];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    printf("%s{\"id\": %d, \"code\": %lu, \"button\": %s, \"text\": ", first ? "" : ", ", id,
           code, button ? "true" : "false");
    PrintJsonText(utf8);
    printf(", \"room\": [%ld, %ld], \"width\": %ld, \"height\": %ld, \"line\": %ld}",
           room.right - room.left, room.bottom - room.top, needed.right - needed.left,
           needed.bottom - needed.top, metrics.tmHeight);
}

static int PrintFits(HWND dialog, int count, char** codes)
{
    static const int VIEW_TEXTS[] = {130, 133, IDOK, IDCANCEL};   // download text, blurb, buttons
    printf("{\"found\": true, \"fits\": [");
    for (int i = 0; i < 4; ++i)
        PrintFit(dialog, VIEW_TEXTS[i], 0, i == 0);
    for (int i = 0; i < count; ++i) {
        unsigned long code = Number(codes[i]);
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(dialog, 0x401, code, 0, SMTO_NORMAL, 10000, &answer);   // WMU_FINISHED
        PrintFit(dialog, 1003, code, false);   // IDC_MESSAGE
    }
    printf("]}\n");
    return 0;
}

// Waits for the dialog for up to the given seconds; null when it never came.
static HWND WaitForDialog(double seconds)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND dialog = FindDialog();
        if (dialog && IsWindowVisible(dialog))
            return dialog;
        if ((GetTickCount() - start) / 1000.0 >= seconds)
            return NULL;
        Sleep(20);
    }
}

static BOOL CALLBACK CountDialog(HWND window, LPARAM count)
{
    char caption[64];
    char className[16];
    GetWindowTextA(window, caption, sizeof caption);
    GetClassNameA(window, className, sizeof className);
    if (strcmp(caption, CAPTION) == 0 && strcmp(className, DIALOG_CLASS) == 0)
        ++*reinterpret_cast<int*>(count);
    return TRUE;
}

static int NotFound()
{
    puts("{\"found\": false}");
    return 1;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fputs("usage: see the comment at the top of uidriver.cpp\n", stderr);
        return 2;
    }
    const char* command = argv[1];
    if (strcmp(command, "wait") == 0) {
        HWND dialog = WaitForDialog(argc > 2 ? atof(argv[2]) : 30);
        return dialog ? PrintState(dialog) : NotFound();
    }
    if (strcmp(command, "wait-gone") == 0) {
        double seconds = argc > 2 ? atof(argv[2]) : 30;
        DWORD start = GetTickCount();
        while (FindDialog()) {
            if ((GetTickCount() - start) / 1000.0 >= seconds)
                return 1;
            Sleep(20);
        }
        return 0;
    }
    if (strcmp(command, "count") == 0) {
        int count = 0;
        EnumWindows(CountDialog, reinterpret_cast<LPARAM>(&count));
        printf("%d\n", count);
        return 0;
    }

    HWND dialog = FindDialog();
    if (!dialog)
        return NotFound();
    if (strcmp(command, "state") == 0)
        return PrintState(dialog);
    if (strcmp(command, "fit") == 0)
        return PrintFits(dialog, argc - 2, argv + 2);
    if (strcmp(command, "click") == 0 && argc == 3) {
        // As a mouse click would: the button itself tells its parent.
        PostMessageA(GetDlgItem(dialog, static_cast<int>(Number(argv[2]))), BM_CLICK, 0, 0);
        return 0;
    }
    if (strcmp(command, "close") == 0) {
        PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    }
    if (strcmp(command, "key") == 0 && argc == 3) {
        // Keys go where the keyboard would deliver them: the focus window of
        // the dialog's thread, through that thread's message loop.
        GUITHREADINFO gui;
        ZeroMemory(&gui, sizeof gui);
        gui.cbSize = sizeof gui;
        GetGUIThreadInfo(GetWindowThreadProcessId(dialog, NULL), &gui);
        HWND target = gui.hwndFocus ? gui.hwndFocus : dialog;
        UINT key = static_cast<UINT>(Number(argv[2]));
        UINT scan = MapVirtualKeyA(key, 0);
        PostMessageA(target, WM_KEYDOWN, key, 1 | (scan << 16));
        PostMessageA(target, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
        printf("%d\n", GetDlgCtrlID(target));
        return 0;
    }
    if ((strcmp(command, "send") == 0 || strcmp(command, "post") == 0) && argc == 5) {
        UINT message = static_cast<UINT>(Number(argv[2]));
        WPARAM wParam = Number(argv[3]);
        LPARAM lParam = static_cast<LPARAM>(Number(argv[4]));
        if (command[0] == 'p') {
            PostMessageA(dialog, message, wParam, lParam);
        } else {
            DWORD_PTR answer = 0;
            SendMessageTimeoutA(dialog, message, wParam, lParam, SMTO_NORMAL, 10000, &answer);
            printf("%lu\n", static_cast<unsigned long>(answer));
        }
        return 0;
    }
    fputs("unknown command\n", stderr);
    return 2;
}
