// lvprogress: shows the percentage that a running downloader publishes in
// its progress channel.
//
//   lvprogress                     print the current percentage once
//   lvprogress --follow [options]  wait for a download, print every change
//                                  until the channel goes away
//     --timeout SECONDS            give up following after this long
//                                  (0 to 86400, fractions allowed)
//     --interval MS                time between two reads, 1 to 60000
//                                  (default 10)
//
// Exit code 0 when the channel existed, 1 when it did not, 2 on a usage error.
#include <windows.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "job/progress_channel.h"

// Opens the channel, reads the cell under the mutex and closes everything
// again, so that this reader never keeps the channel alive by itself.
static bool ReadPercent(DWORD* percent)
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, PROGRESS_MAPPING_NAME);
    if (!mapping)
        return false;
    bool read = false;
    const volatile DWORD* cell = static_cast<const volatile DWORD*>(
        MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, PROGRESS_CELL_SIZE));
    if (cell) {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, PROGRESS_MUTEX_NAME);
        // An abandoned mutex still orders the read; a writer that holds it
        // for a second is stuck, and the cell is read without it.
        DWORD wait = mutex ? WaitForSingleObject(mutex, 1000) : WAIT_FAILED;
        *percent = *cell;
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
            ReleaseMutex(mutex);
        if (mutex)
            CloseHandle(mutex);
        UnmapViewOfFile(const_cast<DWORD*>(cell));
        read = true;
    }
    CloseHandle(mapping);
    return read;
}

// Bounds of the options: a negative or zero interval would sleep for ever
// or spin a core.
static const double MAX_TIMEOUT_SECONDS = 86400;
static const long MIN_INTERVAL_MS = 1;
static const long MAX_INTERVAL_MS = 60000;

// The whole text must be a number within [low, high].
static bool ParseNumber(const char* text, double low, double high, double* value)
{
    char* end;
    *value = strtod(text, &end);
    return end != text && *end == '\0' && isfinite(*value) && *value >= low && *value <= high;
}

static bool ParseWhole(const char* text, long low, long high, long* value)
{
    char* end;
    *value = strtol(text, &end, 10);
    return end != text && *end == '\0' && *value >= low && *value <= high;
}

static int Usage()
{
    fputs("usage: lvprogress [--follow [--timeout SECONDS] [--interval MS]]\n", stderr);
    return 2;
}

int main(int argc, char** argv)
{
    bool follow = false;
    bool timed = false;
    bool paced = false;
    double timeoutSeconds = -1;
    long intervalMs = 10;
    // Each option once; the timing options only with --follow.
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--follow") == 0 && !follow)
            follow = true;
        else if (strcmp(argv[i], "--timeout") == 0 && !timed && i + 1 < argc &&
                 ParseNumber(argv[++i], 0, MAX_TIMEOUT_SECONDS, &timeoutSeconds))
            timed = true;
        else if (strcmp(argv[i], "--interval") == 0 && !paced && i + 1 < argc &&
                 ParseWhole(argv[++i], MIN_INTERVAL_MS, MAX_INTERVAL_MS, &intervalMs))
            paced = true;
        else
            return Usage();
    }
    if ((timed || paced) && !follow)
        return Usage();

    DWORD percent = 0;
    if (!follow) {
        if (!ReadPercent(&percent)) {
            fputs("no download in progress\n", stderr);
            return 1;
        }
        printf("%lu\n", static_cast<unsigned long>(percent));
        return 0;
    }

    DWORD start = GetTickCount();
    bool seen = false;
    DWORD last = 0;
    for (;;) {
        if (ReadPercent(&percent)) {
            if (!seen || percent != last) {
                printf("%lu\n", static_cast<unsigned long>(percent));
                fflush(stdout);
            }
            seen = true;
            last = percent;
        } else if (seen) {
            return 0;   // the download's transfer has ended
        }
        if (timeoutSeconds >= 0 && (GetTickCount() - start) / 1000.0 >= timeoutSeconds)
            break;
        Sleep(static_cast<DWORD>(intervalMs));
    }
    if (!seen)
        fputs("no download in progress\n", stderr);
    return seen ? 0 : 1;
}
