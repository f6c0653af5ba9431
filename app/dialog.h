// The progress dialog: its procedure and its three views.
#ifndef LV_APP_DIALOG_H
#define LV_APP_DIALOG_H

#include <windows.h>

INT_PTR CALLBACK DownloadDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

void ShowDownloadView(HWND dialog);
void ShowInstallingView(HWND dialog);
void ShowErrorView(HWND dialog, UINT textId);

#endif
