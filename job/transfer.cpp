#include <windows.h>
#include <wininet.h>

#include "job/download_job.h"
#include "job/system_dlls.h"
#include "job/progress_channel.h"
#include "job/progress_math.h"
#include "lv_config.h"

static const DWORD TRANSFER_BUFFER_SIZE = 32768;

#ifdef LV_INSTALLER_SHA256
#include "job/sha256.h"

// The one installer this build serves: a download that is not exactly these
// bytes (a proxy's error page, a truncated or altered file) is never run.
static const uint8_t PINNED_SHA256[SHA256_DIGEST_SIZE] = {LV_INSTALLER_SHA256};

static bool MatchesPin(Sha256* hash)
{
    uint8_t digest[SHA256_DIGEST_SIZE];
    Sha256End(hash, digest);
    for (int i = 0; i < SHA256_DIGEST_SIZE; ++i)
        if (digest[i] != PINNED_SHA256[i])
            return false;
    return true;
}
#endif

#ifdef LV_RESUME
// A continued file: the count starts at its kept share and is held to the
// whole file's size; writing goes on at its end, and a pinned digest takes
// in the kept bytes first, read back through the transfer buffer.
static ResultCode ContinueKeptFile(HANDLE file, void* buffer, DWORD* bytesWritten,
                                   DWORD* total, bool* lengthBinds
#ifdef LV_INSTALLER_SHA256
                                   , Sha256* hash
#endif
)
{
    DWORD keptBytes;
    if (!ContinuesKeptShare(&keptBytes, total))
        return RESULT_SUCCESS;
    *lengthBinds = true;
    *bytesWritten = keptBytes;
#ifdef LV_INSTALLER_SHA256
    for (DWORD left = keptBytes; left != 0;) {
        DWORD countRead = 0;
        if (!ReadFile(file, buffer, left < TRANSFER_BUFFER_SIZE ? left : TRANSFER_BUFFER_SIZE,
                      &countRead, NULL) ||
            countRead == 0)
            return IDS_ERR_WRITE_TEMP;
        Sha256Add(hash, buffer, countRead);
        left -= countRead;
    }
    return RESULT_SUCCESS;
#else
    (void)buffer;
    return SetFilePointer(file, 0, NULL, FILE_END) == keptBytes ? RESULT_SUCCESS
                                                                 : IDS_ERR_WRITE_TEMP;
#endif
}
#endif

// The progress channel of one transfer: either all three held (on) or none.
struct ProgressChannel {
    HANDLE mutex;
    HANDLE mapping;
    volatile DWORD* cell;
};

// Every store is made under the mutex and flushed before it is released.
static void StoreLocked(ProgressChannel* channel, DWORD percent)
{
    *channel->cell = percent;
    FlushViewOfFile(const_cast<DWORD*>(channel->cell), 0);
}

// Opens (or joins) the channel and stores 0. On any failure the channel is
// off for this transfer and nothing stays open.
static void OpenProgressChannel(ProgressChannel* channel)
{
    channel->mapping = NULL;
    channel->cell = NULL;
    channel->mutex = CreateMutexA(NULL, FALSE, PROGRESS_MUTEX_NAME);
    if (!channel->mutex)
        return;
    WaitForSingleObject(channel->mutex, INFINITE);
    channel->mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                          PROGRESS_CELL_SIZE, PROGRESS_MAPPING_NAME);
    if (channel->mapping) {
        channel->cell = static_cast<volatile DWORD*>(
            MapViewOfFile(channel->mapping, FILE_MAP_WRITE, 0, 0, 0));
        if (channel->cell) {
            StoreLocked(channel, 0);
        } else {
            CloseHandle(channel->mapping);
            channel->mapping = NULL;
        }
    }
    ReleaseMutex(channel->mutex);
    if (!channel->mapping) {
        CloseHandle(channel->mutex);
        channel->mutex = NULL;
    }
}

ResultCode TransferToFile(HWND dialog, HINTERNET request, HANDLE file, DWORD* bytesWritten)
{
    void* buffer = GlobalAlloc(GMEM_FIXED, TRANSFER_BUFFER_SIZE);
    if (!buffer)
        return IDS_ERR_NO_MEMORY;

    ProgressChannel channel;
    OpenProgressChannel(&channel);

    *bytesWritten = 0;

    // Without the number flag the header comes as text; a missing header or
    // one of more than 31 characters makes the query fail.
    char lengthText[CONTENT_LENGTH_TEXT_SIZE];
    DWORD lengthSize = sizeof lengthText;
    bool hasLength = g_winInet.HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, lengthText,
                                              &lengthSize, NULL) != FALSE;
    DWORD total = ExpectedTotal(hasLength ? lengthText : NULL);
    // A connection closed cleanly part-way ends the body with an empty read,
    // exactly as a complete one does: only a length that can be trusted
    // tells the two apart.
    bool lengthBinds = hasLength && IsUsableContentLength(lengthText);

    ResultCode result;
    DWORD lastPercent = 0;
#ifdef LV_INSTALLER_SHA256
    // Over the bytes as they are written; only a continued file's kept
    // part is read back, before them.
    Sha256 hash;
    Sha256Begin(&hash);
#endif
#ifdef LV_RESUME
    result = ContinueKeptFile(file, buffer, bytesWritten, &total, &lengthBinds
#ifdef LV_INSTALLER_SHA256
                              , &hash
#endif
    );
    lastPercent = ChannelPercent(*bytesWritten, total);
    if (channel.cell && lastPercent != 0) {
        WaitForSingleObject(channel.mutex, INFINITE);
        StoreLocked(&channel, lastPercent);
        ReleaseMutex(channel.mutex);
    }
    // A kept part that cannot be read ends the attempt before any read.
    while (result == RESULT_SUCCESS) {
#else
    for (;;) {
#endif
        DWORD countRead = 0;
        DWORD countWritten = 0;
        if (!g_winInet.InternetReadFile(request, buffer, TRANSFER_BUFFER_SIZE, &countRead)) {
            result = IDS_ERR_INTERRUPTED;
            break;
        }
        if (countRead == 0) {
            result = lengthBinds && *bytesWritten < total ? IDS_ERR_INTERRUPTED : RESULT_SUCCESS;
            break;
        }
        if (!WriteFile(file, buffer, countRead, &countWritten, NULL)) {
            result = IDS_ERR_WRITE_TEMP;
            break;
        }
        *bytesWritten += countWritten;
#ifdef LV_INSTALLER_SHA256
        Sha256Add(&hash, buffer, countWritten);
#endif
        SendMessageA(dialog, WMU_PROGRESS, *bytesWritten, total);

        DWORD percent = ChannelPercent(*bytesWritten, total);
        if (percent != lastPercent) {
            lastPercent = percent;
            if (channel.cell) {
                WaitForSingleObject(channel.mutex, INFINITE);
                StoreLocked(&channel, percent);
                ReleaseMutex(channel.mutex);
            }
        }
    }

#ifdef LV_INSTALLER_SHA256
    if (result == RESULT_SUCCESS && !MatchesPin(&hash))
        result = IDS_ERR_DAMAGED;
#endif

    GlobalFree(buffer);
    // The cell keeps its last value for readers that still hold it.
    if (channel.cell) {
        UnmapViewOfFile(const_cast<DWORD*>(channel.cell));
        CloseHandle(channel.mapping);
        CloseHandle(channel.mutex);
    }
    return result;
}
