// benchget: the yardsticks of `make bench`, run under the same Wine as the
// downloader.
//   benchget floor HOST OBJECT MARKER
//       what a download needs and nothing more, done the way the downloader
//       does it: an HTTP/1.0 GET of OBJECT from HOST (port 80, the system's
//       proxy settings, the downloader's agent and flags), 32,768-byte
//       InternetReadFile reads, WriteFile into a fresh temporary file, and one
//       synchronous SendMessageA per chunk to a window of the first thread,
//       which runs the message loop. MARKER (a path on HOST) is fetched the
//       way a report is, once before the download as the downloader's start
//       report is, and once after the file has been closed and deleted, so
//       that the bench's server sees where the phase ends.
//   benchget bar HOST OBJECT MARKER       the floor, with the window visible and
//                                         each message handled as the downloader's
//                                         dialog does: PBM_SETPOS to a progress bar
//                                         found with GetDlgItem
//   benchget bare HOST OBJECT MARKER      the floor without the per-chunk messages
//   benchget discard HOST OBJECT MARKER   the floor's reads, nothing written, no messages
//   benchget repaint
//       time 100 changes of the position of such a visible bar, and 100
//       settings that change nothing, on the bar's own thread, each followed
//       by a return to the message loop; prints CHANGES_MS <ms> SAME_MS <ms>
//   benchget channel
//       time what the downloader's progress channel does in one transfer
//       (open, 100 stores under the mutex, each flushed, close), under names
//       of its own; prints CHANNEL_MS <ms>
//   benchget sha256 MEGABYTES
//       time the downloader's SHA-256 (the product's own build of it) over
//       that many MB, added in 32,768-byte chunks as the transfer adds them;
//       prints SHA256_MB_PER_S <rate> DIGEST_BYTE <first byte of the digest>
//   benchget publisher FILE ROUNDS
//       time the publisher check of a build with INSTALLER_SIGNER (the
//       product's own, for the tests' signer name) on FILE, ROUNDS times;
//       prints PUBLISHER_MS <ms of each round> RESULT <the last answer>
//   benchget watch CAPTION SECONDS
//       print "READY", then poll every 5 ms for a visible dialog with that
//       caption and print "VISIBLE" the moment there is one (exit 1 if none
//       came within SECONDS)
// A transfer mode prints one line when it ends, with the times of the
// first marker (open to closed), the download (open to file deleted) and
// the last marker:
//   BYTES <n> CHUNKS <n> START_MS <ms> TRANSFER_MS <ms> END_MS <ms>
#include <windows.h>
#include <commctrl.h>
#include <wininet.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "job/download_job.h"
#include "job/sha256.h"

static const char AGENT[] = "Lumenvast Downloader";
static const DWORD CHUNK = 32768;
static const UINT WM_CHUNK = WM_APP;        // wParam bytes so far, lParam expected total
static const UINT WM_DONE = WM_APP + 1;
static const int ID_BAR = 1000;

enum Mode { FLOOR, BAR, BARE, DISCARD };

static bool g_bar;   // the window handles WM_CHUNK as the downloader's dialog does

struct Job {
    Mode mode;
    HWND window;
    const char* host;
    const char* object;
    const char* marker;
    DWORD bytes;
    DWORD chunks;
    double startMs;
    double transferMs;
    double endMs;
    bool ok;
};

static double Now()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

// One GET through its own root, connection and request handles, as the
// downloader opens them. Null handles on failure; the caller closes.
static HINTERNET OpenGet(const char* host, const char* object, HINTERNET* root,
                         HINTERNET* connection)
{
    *connection = NULL;
    *root = InternetOpenA(AGENT, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (*root)
        *connection = InternetConnectA(*root, host, INTERNET_INVALID_PORT_NUMBER, "", "",
                                       INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = NULL;
    if (*connection)
        request = HttpOpenRequestA(*connection, "GET", object, "HTTP/1.0", NULL, NULL,
                                   INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (request && !HttpSendRequestA(request, NULL, 0, NULL, 0)) {
        InternetCloseHandle(request);
        request = NULL;
    }
    return request;
}

static void CloseGet(HINTERNET request, HINTERNET connection, HINTERNET root)
{
    if (request)
        InternetCloseHandle(request);
    if (connection)
        InternetCloseHandle(connection);
    if (root)
        InternetCloseHandle(root);
}

// The download into a temporary file, ending with the file deleted.
static bool Transfer(Job* job)
{
    HINTERNET root;
    HINTERNET connection;
    HINTERNET request = OpenGet(job->host, job->object, &root, &connection);
    char directory[MAX_PATH];
    char name[MAX_PATH] = "";
    HANDLE file = INVALID_HANDLE_VALUE;
    void* buffer = GlobalAlloc(GMEM_FIXED, CHUNK);
    bool ok = request && buffer;
    if (ok && job->mode != DISCARD) {
        DWORD length = GetTempPathA(sizeof directory, directory);
        ok = length != 0 && length <= sizeof directory &&
             GetTempFileNameA(directory, "LVB", 0, name) != 0;
        if (ok)
            file = CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_TEMPORARY, NULL);
        ok = ok && file != INVALID_HANDLE_VALUE;
    }
    DWORD total = 0;
    if (ok) {
        char text[32];
        DWORD size = sizeof text;
        total = HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, NULL)
                    ? strtoul(text, NULL, 10) : 4194304;
    }
    while (ok) {
        DWORD read = 0;
        DWORD written = 0;
        if (!InternetReadFile(request, buffer, CHUNK, &read)) {
            ok = false;
            break;
        }
        if (read == 0)
            break;
        if (job->mode != DISCARD) {
            if (!WriteFile(file, buffer, read, &written, NULL) || written != read) {
                ok = false;
                break;
            }
        }
        job->bytes += read;
        job->chunks++;
        if (job->mode == FLOOR || job->mode == BAR)
            SendMessageA(job->window, WM_CHUNK, job->bytes, total);
    }
    if (buffer)
        GlobalFree(buffer);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    CloseGet(request, connection, root);
    if (name[0])
        DeleteFileA(name);
    return ok;
}

// The marker, read to its end like a report's answer.
static void Exchange(Job* job)
{
    HINTERNET root;
    HINTERNET connection;
    HINTERNET request = OpenGet(job->host, job->marker, &root, &connection);
    void* answer = request ? GlobalAlloc(GMEM_FIXED, CHUNK) : NULL;
    if (answer) {
        DWORD read;
        while (InternetReadFile(request, answer, CHUNK, &read) && read != 0) {
        }
        GlobalFree(answer);
    }
    CloseGet(request, connection, root);
}

static DWORD WINAPI JobThread(LPVOID parameter)
{
    Job* job = static_cast<Job*>(parameter);
    double start = Now();
    Exchange(job);
    double opened = Now();
    job->ok = Transfer(job);
    double done = Now();
    Exchange(job);
    job->startMs = opened - start;
    job->transferMs = done - opened;
    job->endMs = Now() - done;
    SendMessageA(job->window, WM_DONE, 0, 0);
    return 0;
}

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CHUNK) {
        if (g_bar && lParam != 0 && static_cast<DWORD>(wParam) <= static_cast<DWORD>(lParam)) {
            UINT position = static_cast<UINT>(static_cast<ULONGLONG>(wParam) * 100 / lParam);
            SendMessageA(GetDlgItem(window, ID_BAR), PBM_SETPOS, position, 0);
        }
        return 0;
    }
    if (message == WM_DONE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The window of the first thread: hidden and bare for the floor; for the
// bar, visible, as large as the downloader's dialog and with its bar.
static HWND CreateJobWindow(bool bar)
{
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "LvBenchGet";
    g_bar = bar;
    if (!bar) {
        RegisterClassA(&windowClass);
        return CreateWindowA("LvBenchGet", "benchget", 0, 0, 0, 0, 0, NULL, NULL,
                             windowClass.hInstance, NULL);
    }
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("LvBenchGet", "benchget", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100,
                                100, 351, 188, NULL, NULL, windowClass.hInstance, NULL);
    if (window)
        CreateWindowA(PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE | WS_BORDER, 8, 130, 330, 16,
                      window, reinterpret_cast<HMENU>(ID_BAR), windowClass.hInstance, NULL);
    return window;
}

static int RunTransfer(Mode mode, char** argv)
{
    Job job;
    ZeroMemory(&job, sizeof job);
    job.mode = mode;
    job.host = argv[2];
    job.object = argv[3];
    job.marker = argv[4];
    job.window = CreateJobWindow(mode == BAR);
    DWORD threadId;
    HANDLE thread = job.window ? CreateThread(NULL, 0, JobThread, &job, 0, &threadId) : NULL;
    if (!thread) {
        fputs("cannot start\n", stderr);
        return 2;
    }
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    DestroyWindow(job.window);
    printf("BYTES %lu CHUNKS %lu START_MS %.2f TRANSFER_MS %.2f END_MS %.2f\n",
           static_cast<unsigned long>(job.bytes), static_cast<unsigned long>(job.chunks),
           job.startMs, job.transferMs, job.endMs);
    return job.ok ? 0 : 1;
}

// Handles what is queued; with nothing left, Wine also flushes the thread's
// painted windows to the display, as it does whenever the dialog's thread
// returns to its message loop.
static void Drain()
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// The bar's price alone, on its own thread: 100 changes of position, then
// 100 settings of the same position, each followed by a return to the
// message loop.
static int Repaint()
{
    HWND window = CreateJobWindow(true);
    if (!window)
        return 2;
    // Shown and painted once before the clock starts.
    double settled = Now() + 300;
    while (Now() < settled) {
        Drain();
        Sleep(5);
    }
    HWND bar = GetDlgItem(window, ID_BAR);
    double start = Now();
    for (UINT position = 1; position <= 100; ++position) {
        SendMessageA(bar, PBM_SETPOS, position, 0);
        Drain();
    }
    double changed = Now();
    for (int i = 0; i < 100; ++i) {
        SendMessageA(bar, PBM_SETPOS, 100, 0);
        Drain();
    }
    printf("CHANGES_MS %.2f SAME_MS %.2f\n", changed - start, Now() - changed);
    DestroyWindow(window);
    return 0;
}

// The progress channel's whole work for one transfer, under names of its
// own: open (mutex, mapping, view, the opening 0), 100 locked and flushed
// stores, close.
static int Channel()
{
    double start = Now();
    HANDLE mutex = CreateMutexA(NULL, FALSE, "LvBench Progress Mutex");
    if (!mutex)
        return 2;
    WaitForSingleObject(mutex, INFINITE);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4,
                                        "LvBench File Mapping");
    volatile DWORD* cell = mapping ? static_cast<volatile DWORD*>(
                                         MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0))
                                   : NULL;
    if (!cell)
        return 2;
    *cell = 0;
    FlushViewOfFile(const_cast<DWORD*>(cell), 0);
    ReleaseMutex(mutex);
    for (DWORD percent = 1; percent <= 100; ++percent) {
        WaitForSingleObject(mutex, INFINITE);
        *cell = percent % 100;
        FlushViewOfFile(const_cast<DWORD*>(cell), 0);
        ReleaseMutex(mutex);
    }
    UnmapViewOfFile(const_cast<DWORD*>(cell));
    CloseHandle(mapping);
    CloseHandle(mutex);
    printf("CHANNEL_MS %.2f\n", Now() - start);
    return 0;
}

static int HashSpeed(double megabytes)
{
    static unsigned char chunk[CHUNK];
    for (DWORD i = 0; i < CHUNK; ++i)
        chunk[i] = static_cast<unsigned char>(i * 7);
    DWORD chunks = static_cast<DWORD>(megabytes * 1e6 / CHUNK);
    Sha256 hash;
    uint8_t digest[SHA256_DIGEST_SIZE];
    double start = Now();
    Sha256Begin(&hash);
    for (DWORD i = 0; i < chunks; ++i)
        Sha256Add(&hash, chunk, CHUNK);
    Sha256End(&hash, digest);
    double seconds = (Now() - start) / 1000;
    // The digest is printed so that no step can be left out as unused.
    printf("SHA256_MB_PER_S %.1f DIGEST_BYTE %u\n", chunks * double(CHUNK) / 1e6 / seconds,
           digest[0]);
    return 0;
}

static int PublisherCheck(const char* file, int rounds)
{
    ResultCode result = 0;
    printf("PUBLISHER_MS");
    for (int i = 0; i < rounds; ++i) {
        double start = Now();
        result = CheckPublisher(file);
        printf(" %.3f", Now() - start);
    }
    printf(" RESULT %lu\n", static_cast<unsigned long>(result));
    return 0;
}

static int Watch(const char* caption, double seconds)
{
    puts("READY");
    fflush(stdout);
    double deadline = Now() + seconds * 1000;
    for (;;) {
        HWND dialog = FindWindowA("#32770", caption);
        if (dialog && IsWindowVisible(dialog)) {
            puts("VISIBLE");
            fflush(stdout);
            return 0;
        }
        if (Now() > deadline)
            return 1;
        Sleep(5);
    }
}

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "watch") == 0)
        return Watch(argv[2], atof(argv[3]));
    if (argc == 2 && strcmp(argv[1], "repaint") == 0)
        return Repaint();
    if (argc == 2 && strcmp(argv[1], "channel") == 0)
        return Channel();
    if (argc == 3 && strcmp(argv[1], "sha256") == 0)
        return HashSpeed(atof(argv[2]));
    if (argc == 4 && strcmp(argv[1], "publisher") == 0)
        return PublisherCheck(argv[2], atoi(argv[3]));
    if (argc == 5) {
        if (strcmp(argv[1], "floor") == 0)
            return RunTransfer(FLOOR, argv);
        if (strcmp(argv[1], "bar") == 0)
            return RunTransfer(BAR, argv);
        if (strcmp(argv[1], "bare") == 0)
            return RunTransfer(BARE, argv);
        if (strcmp(argv[1], "discard") == 0)
            return RunTransfer(DISCARD, argv);
    }
    fputs("usage: benchget floor|bar|bare|discard HOST OBJECT MARKER | watch CAPTION SECONDS"
          " | repaint | channel | sha256 MEGABYTES | publisher FILE ROUNDS\n", stderr);
    return 2;
}
