// testinstaller: stands in for the player's installer. The downloader runs
// it with no arguments; the test chooses what it does through the
// environment, which the installer inherits from the downloader:
//   LVTEST_INSTALLER  what to store in "State" (default "0"):
//                     a decimal number   stored as REG_DWORD
//                     none               store nothing, create no key
//                     key-only           create the key without "State"
//                     qword:N            N as an 8-byte REG_QWORD
//                     binary:HEX         the bytes as REG_BINARY (e.g. binary:97000000)
//   LVTEST_INSTALLER_DELAY_MS  wait this long before storing and exiting
//   LVTEST_INSTALLER_LOG       append "<own path>|<command line>" to this file
//   LVTEST_INSTALLER_COPY      copy its own file, as it ran, to this path
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char KEY_PATH[] = "Software\\Tessaframe\\LvInstall";

static void Log()
{
    char path[1024];
    char ownPath[MAX_PATH];
    if (!GetEnvironmentVariableA("LVTEST_INSTALLER_LOG", path, sizeof path))
        return;
    GetModuleFileNameA(NULL, ownPath, sizeof ownPath);
    FILE* log = fopen(path, "ab");
    if (log) {
        fprintf(log, "%s|%s\n", ownPath, GetCommandLineA());
        fclose(log);
    }
}

static int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int main()
{
    Log();
    char copy[1024];
    char ownPath[MAX_PATH];
    if (GetEnvironmentVariableA("LVTEST_INSTALLER_COPY", copy, sizeof copy) &&
        GetModuleFileNameA(NULL, ownPath, sizeof ownPath))
        CopyFileA(ownPath, copy, FALSE);
    char delay[32];
    if (GetEnvironmentVariableA("LVTEST_INSTALLER_DELAY_MS", delay, sizeof delay))
        Sleep(static_cast<DWORD>(atoi(delay)));

    char what[256] = "0";
    GetEnvironmentVariableA("LVTEST_INSTALLER", what, sizeof what);
    if (strcmp(what, "none") == 0)
        return 0;

    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, KEY_PATH, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
        return 3;
    LONG stored = ERROR_SUCCESS;
    if (strncmp(what, "qword:", 6) == 0) {
        unsigned long long value = strtoull(what + 6, NULL, 10);
        stored = RegSetValueExA(key, "State", 0, REG_QWORD, reinterpret_cast<BYTE*>(&value), 8);
    } else if (strncmp(what, "binary:", 7) == 0) {
        BYTE bytes[64];
        DWORD count = 0;
        for (const char* p = what + 7; p[0] && p[1] && count < sizeof bytes; p += 2)
            bytes[count++] = static_cast<BYTE>(HexDigit(p[0]) * 16 + HexDigit(p[1]));
        stored = RegSetValueExA(key, "State", 0, REG_BINARY, bytes, count);
    } else if (strcmp(what, "key-only") != 0) {
        DWORD value = static_cast<DWORD>(strtoul(what, NULL, 10));
        stored = RegSetValueExA(key, "State", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
    }
    RegCloseKey(key);
    return stored == ERROR_SUCCESS ? 0 : 4;
}
