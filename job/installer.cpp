#include <windows.h>

#include "job/command_line.h"
#include "job/download_job.h"
#include "job/install_state.h"

// Removes the install-state key, and with it any outcome it holds. On the NT
// line RegDeleteKeyA refuses a key that has subkeys: the value must go all
// the same, or an outcome left by one run would pass for the next one's.
static void ForgetInstallState()
{
    if (RegDeleteKeyA(HKEY_CURRENT_USER, INSTALL_STATE_KEY) == ERROR_SUCCESS)
        return;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, INSTALL_STATE_KEY, 0, KEY_SET_VALUE, &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueA(key, INSTALL_STATE_VALUE);
        RegCloseKey(key);
    }
}

ResultCode RunInstaller(const char* installerPath)
{
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    char commandLine[MAX_PATH + 2];
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;   // 68

    // A key left by an earlier run must not pass for this run's outcome.
    ForgetInstallState();

    // Quoted, so that a blank in the temporary directory cannot make the
    // system start a program planted at a prefix of the path.
    if (!ComposeInstallerCommand(commandLine, sizeof commandLine, installerPath) ||
        !CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return IDS_ERR_RUN_INSTALLER;

    // The installer must have stored its outcome before its own process ends.
    WaitForSingleObject(process.hProcess, INFINITE);

    ResultCode result = IDS_ERR_INSTALL_FAILED;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, INSTALL_STATE_KEY, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        DWORD state = 0;
        DWORD type;
        DWORD size = sizeof state;
        // Any type is read as 4 bytes, least significant first. A value that
        // is not exactly 4 bytes long is no outcome: longer ones fail the
        // read, and shorter ones would leave bytes unset, which must never
        // pass for a success.
        if (RegQueryValueExA(key, INSTALL_STATE_VALUE, NULL, &type,
                             reinterpret_cast<BYTE*>(&state), &size) == ERROR_SUCCESS &&
            size == sizeof state)
            result = state;
        RegCloseKey(key);
        ForgetInstallState();
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return result;
}
