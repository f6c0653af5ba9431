// wintool: small Windows-side helpers for the tests.
//   wintool spawn FILE        start the command line held in FILE exactly as
//                             written (CreateProcessA), wait for it, write
//                             its whole 32-bit exit code in decimal to
//                             FILE.exit and exit with it
//   wintool exit CODE         exit with CODE (decimal, up to 4294967295)
//   wintool crash             write through a null pointer
//   wintool hang              never end
//   wintool hold-event NAME SECONDS
//                             create an event called NAME, print "ready",
//                             keep it for SECONDS
//   wintool hold-mutex NAME SECONDS
//                             create and own a mutex called NAME, print
//                             "ready", release it after SECONDS
//   wintool exists-mutex NAME print "yes" or "no"
//   wintool wait-mutex NAME   open the existing mutex NAME, wait until this
//                             process owns it, print "ready", release it
//                             when a line or the end of standard input
//                             arrives (exit 1 if there is no such mutex)
//   wintool hold-mapping NAME open the existing file mapping NAME, print
//                             "ready", keep the handle until a line or the
//                             end of standard input arrives (exit 1 if there
//                             is no such mapping)
//   wintool version           print "major minor platform" from GetVersionExA
//   wintool temp-path         print the ANSI code page, then the temporary
//                             folder as GetTempPathA gives it (in that code
//                             page), as GetTempPathW gives it and its short
//                             name (both in UTF-8), a line each
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int Spawn(const char* file)
{
    static char commandLine[32768];
    FILE* f = fopen(file, "rb");
    if (!f) {
        fprintf(stderr, "cannot read %s\n", file);
        return 200;
    }
    size_t n = fread(commandLine, 1, sizeof commandLine - 1, f);
    fclose(f);
    commandLine[n] = '\0';
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "CreateProcessA failed: %lu\n", GetLastError());
        return 201;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    // Written before this process ends: the status of its Unix process
    // keeps 8 bits of the code at best, and none when Wine's server ends it
    // with SIGKILL while it tears down.
    char exitFile[MAX_PATH + 8];
    snprintf(exitFile, sizeof exitFile, "%s.exit", file);
    FILE* out = fopen(exitFile, "wb");
    if (!out)
        return 202;
    fprintf(out, "%lu\n", static_cast<unsigned long>(code));
    fclose(out);
    return static_cast<int>(code);
}

static void Ready()
{
    puts("ready");
    fflush(stdout);
}

// The test decides when to let go: it writes a line or closes the pipe.
static void WaitForStandardInput()
{
    char line[64];
    fgets(line, sizeof line, stdin);
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "spawn") == 0)
        return Spawn(argv[2]);
    if (argc == 3 && strcmp(argv[1], "exit") == 0)
        ExitProcess(static_cast<UINT>(strtoul(argv[2], NULL, 10)));
    if (argc == 2 && strcmp(argv[1], "crash") == 0) {
        volatile int* nowhere = NULL;
        *nowhere = 1;
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "hang") == 0) {
        Sleep(INFINITE);
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "hold-event") == 0) {
        HANDLE event = CreateEventA(NULL, TRUE, FALSE, argv[2]);
        if (!event)
            return 1;
        Ready();
        Sleep(static_cast<DWORD>(atof(argv[3]) * 1000));
        CloseHandle(event);
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "hold-mutex") == 0) {
        HANDLE mutex = CreateMutexA(NULL, TRUE, argv[2]);
        if (!mutex)
            return 1;
        Ready();
        Sleep(static_cast<DWORD>(atof(argv[3]) * 1000));
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "wait-mutex") == 0) {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, argv[2]);
        if (!mutex)
            return 1;
        WaitForSingleObject(mutex, INFINITE);
        Ready();
        WaitForStandardInput();
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "hold-mapping") == 0) {
        HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, argv[2]);
        if (!mapping)
            return 1;
        Ready();
        WaitForStandardInput();
        CloseHandle(mapping);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "exists-mutex") == 0) {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, argv[2]);
        puts(mutex ? "yes" : "no");
        if (mutex)
            CloseHandle(mutex);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "version") == 0) {
        OSVERSIONINFOA info;
        info.dwOSVersionInfoSize = sizeof info;
        GetVersionExA(&info);
        printf("%lu %lu %lu\n", info.dwMajorVersion, info.dwMinorVersion, info.dwPlatformId);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "temp-path") == 0) {
        char ansi[MAX_PATH] = "";
        WCHAR wide[MAX_PATH] = L"";
        WCHAR shortName[MAX_PATH] = L"";
        char utf8[3 * MAX_PATH] = "";
        char shortUtf8[3 * MAX_PATH] = "";
        GetTempPathA(sizeof ansi, ansi);
        GetTempPathW(MAX_PATH, wide);
        GetShortPathNameW(wide, shortName, MAX_PATH);
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, NULL, NULL);
        WideCharToMultiByte(CP_UTF8, 0, shortName, -1, shortUtf8, sizeof shortUtf8, NULL, NULL);
        printf("%u\n%s\n%s\n%s\n", GetACP(), ansi, utf8, shortUtf8);
        return 0;
    }
    fputs("usage: see the comment at the top of wintool.cpp\n", stderr);
    return 2;
}
