// The publisher check of builds with INSTALLER_SIGNER: the downloaded
// installer runs only when its Authenticode signature verifies and the
// certificate that signed it names the vendor in its subject's common name,
// exactly. One downloader so serves every later installer release that the
// vendor signs under that name, and never runs anything else.
//
// WINTRUST and CRYPT32 are not among the system's known DLLs and are not
// imported: the program still starts where they are missing (then every
// check fails). They are loaded here from the system directory by full
// path, as WININET is, and freed before the check returns.
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include "job/download_job.h"
#include "job/system_dlls.h"
#include "lv_config.h"

#ifdef LV_INSTALLER_SIGNER

static const char VENDOR[] = LV_INSTALLER_SIGNER;

// A common name has at most 64 characters (X.520), and so has the build's
// name; one more character than the longest shows that a name is longer.
static const DWORD SIGNER_NAME_SIZE = 66;
static_assert(sizeof VENDOR <= SIGNER_NAME_SIZE - 1, "INSTALLER_SIGNER is checked to fit");

// Both are only read by the functions that take them, which declare them
// writable; as constants they need no writable section of their own.
static const char COMMON_NAME_OID[] = szOID_COMMON_NAME;
static const GUID VERIFY_ACTION = WINTRUST_ACTION_GENERIC_VERIFY_V2;

struct TrustFunctions {
    decltype(&::WinVerifyTrust) WinVerifyTrust;
    decltype(&::WTHelperProvDataFromStateData) WTHelperProvDataFromStateData;
    decltype(&::WTHelperGetProvSignerFromChain) WTHelperGetProvSignerFromChain;
    decltype(&::WTHelperGetProvCertFromChain) WTHelperGetProvCertFromChain;
    decltype(&::CertGetNameStringA) CertGetNameStringA;
};

#define TAKE(table, module, function) TAKE_SYSTEM_FUNCTION(table, module, function)

static bool TakeTrustFunctions(HMODULE wintrust, HMODULE crypt32, TrustFunctions* functions)
{
    return TAKE(*functions, wintrust, WinVerifyTrust) &&
           TAKE(*functions, wintrust, WTHelperProvDataFromStateData) &&
           TAKE(*functions, wintrust, WTHelperGetProvSignerFromChain) &&
           TAKE(*functions, wintrust, WTHelperGetProvCertFromChain) &&
           TAKE(*functions, crypt32, CertGetNameStringA);
}

// Whether the first signer of a verified file is the vendor: its own
// certificate, the first of its chain, and that certificate's subject.
static bool SignedByVendor(const TrustFunctions* functions, HANDLE state)
{
    CRYPT_PROVIDER_DATA* data = functions->WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer =
        data ? functions->WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : NULL;
    CRYPT_PROVIDER_CERT* certificate =
        signer ? functions->WTHelperGetProvCertFromChain(signer, 0) : NULL;
    if (!certificate || !certificate->pCert)
        return false;
    char name[SIGNER_NAME_SIZE];
    // The count includes the terminator. A longer name comes back cut to the
    // buffer, one character longer than the vendor's at least, so it never
    // passes; neither does one that only begins with the vendor's.
    DWORD count = functions->CertGetNameStringA(certificate->pCert, CERT_NAME_ATTR_TYPE, 0,
                                                const_cast<char*>(COMMON_NAME_OID), name,
                                                sizeof name);
    if (count != sizeof VENDOR)
        return false;
    for (DWORD i = 0; i < sizeof VENDOR; ++i)
        if (name[i] != VENDOR[i])
            return false;
    return true;
}

ResultCode CheckPublisher(const char* installerPath)
{
    ResultCode result = IDS_ERR_NOT_SIGNED;
    HMODULE wintrust = LoadSystemDll("wintrust.dll");
    HMODULE crypt32 = LoadSystemDll("crypt32.dll");
    TrustFunctions functions;
    // The path as CreateFileA took it: converted by the ANSI code page.
    WCHAR path[MAX_PATH];
    if (wintrust && crypt32 && TakeTrustFunctions(wintrust, crypt32, &functions) &&
        MultiByteToWideChar(CP_ACP, 0, installerPath, -1, path, MAX_PATH) != 0) {
        WINTRUST_FILE_INFO file;
        ZeroMemory(&file, sizeof file);
        file.cbStruct = sizeof file;
        file.pcwszFilePath = path;
        WINTRUST_DATA trust;
        ZeroMemory(&trust, sizeof trust);
        trust.cbStruct = sizeof trust;
        trust.dwUIChoice = WTD_UI_NONE;
        // Revocation as the system's Authenticode policy has it, as for any
        // program the system checks: no check of our own that would refuse
        // every installer where the revocation servers cannot be reached,
        // and none turned off where the system's settings ask for it.
        trust.fdwRevocationChecks = WTD_REVOKE_NONE;
        trust.dwUnionChoice = WTD_CHOICE_FILE;
        trust.pFile = &file;
        // The state is kept so that the signer can be read from it.
        trust.dwStateAction = WTD_STATEACTION_VERIFY;
        GUID* action = const_cast<GUID*>(&VERIFY_ACTION);
        HWND noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
        if (functions.WinVerifyTrust(noUser, action, &trust) == ERROR_SUCCESS &&
            SignedByVendor(&functions, trust.hWVTStateData))
            result = RESULT_SUCCESS;
        // Whatever the verdict, the verification left its state behind.
        trust.dwStateAction = WTD_STATEACTION_CLOSE;
        functions.WinVerifyTrust(noUser, action, &trust);
    }
    if (crypt32)
        FreeLibrary(crypt32);
    if (wintrust)
        FreeLibrary(wintrust);
    return result;
}

#endif
