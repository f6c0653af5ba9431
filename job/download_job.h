// The download-and-install job: one attempt per worker thread.
#ifndef LV_JOB_DOWNLOAD_JOB_H
#define LV_JOB_DOWNLOAD_JOB_H

#include <windows.h>
#include <wininet.h>

#include "job/result_codes.h"

// GetTickCount at the start of the latest attempt; 0 until the first one.
// Written whole by the job, read whole by the cancel report, without a lock.
extern volatile DWORD g_jobStartTick;

// Thread routine of one attempt. The parameter is the window that receives
// the job events; the exit code is the attempt's ResultCode.
DWORD WINAPI DownloadThread(LPVOID dialogWindow);

// Copies the response body of the sent request into the file, publishing
// progress. Returns 0, 116, 117 (a failed read, or a body that ended short
// of a usable Content-Length) or 118, or 124 in a build with a pinned digest
// when the whole body differs from it; sets *bytesWritten; closes nothing.
ResultCode TransferToFile(HWND dialog, HINTERNET request, HANDLE file, DWORD* bytesWritten);

#ifdef LV_RESUME
// Builds that resume downloads (job/resume.cpp). Attempts never overlap: what
// one keeps, the next takes over.

// Sends the download request with a receive limit and, when a file is kept,
// asks for the rest of it.
BOOL SendDownloadRequest(HINTERNET request);

// 0 when the answer is a 200, or a 206 that continues the kept file; else
// 114, and the kept file is deleted.
ResultCode AcceptDownloadAnswer(HINTERNET request);

// When the answer continues the kept file: its name into `name` (MAX_PATH).
bool TakeKeptFile(char* name);

// When the answer continues the kept file: what it held, and the whole size.
bool ContinuesKeptShare(DWORD* keptBytes, DWORD* wholeSize);

// Keeps the attempt's closed file for the next attempt when it broke off
// (117) part-way through a file that can be resumed; otherwise false, and
// the caller deletes it.
bool KeepForResume(ResultCode result, DWORD bytes, const char* name);

// Deletes the kept file: the run ends after an error view.
void DiscardKeptDownload();
#endif

// Builds with INSTALLER_SIGNER: 0 when the closed file's Authenticode
// signature verifies and its signer's common name is the vendor's, exactly;
// otherwise 125.
ResultCode CheckPublisher(const char* installerPath);

// Runs the downloaded installer, waits for it and reads its outcome from the
// install-state key. Returns 0, 119, 122 or the installer's own number.
ResultCode RunInstaller(const char* installerPath);

// GetTempPathA's answer for a buffer of MAX_PATH characters, except on the
// NT line where that text cannot name the folder (its name is outside the
// ANSI code page): then the folder's short name, or 0 when it has none.
DWORD GetTempFolder(char* path);

// Writes the redirect page and starts the browser command of the command
// line on it. True when the page was written in full.
bool LaunchRedirectPage();

#endif
