// Reading the appended payload from setup.exe's own file, window by
// window, each checked with the system's SHA-256 (CNG) on a thread of its
// own.
#include "platform/payload_file.h"

#include <bcrypt.h>

// Long enough for any path Windows gives a running program; in .bss, so
// setup.exe does not grow.
static wchar_t g_programPath[32768];

static bool ReadAt(HANDLE file, int64_t at, unsigned char* bytes, DWORD count)
{
    while (count > 0) {
        OVERLAPPED place = {};
        place.Offset = static_cast<DWORD>(at);
        place.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        if (!ReadFile(file, bytes, count, &got, &place) || got == 0)
            return false;
        at += got;
        bytes += got;
        count -= got;
    }
    return true;
}

static bool DigestMatches(PayloadFile* file, const unsigned char* bytes, DWORD count, const unsigned char* expected)
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[kAppendedDigestBytes];
    const bool done =
        BCRYPT_SUCCESS(BCryptCreateHash(file->sha256, &hash, file->hashObject, file->hashObjectBytes, nullptr, 0, 0)) &&
        BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<unsigned char*>(bytes), count, 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    unsigned char differ = 0;
    for (int i = 0; i < kAppendedDigestBytes; ++i)
        differ |= static_cast<unsigned char>(digest[i] ^ expected[i]);
    return done && differ == 0;
}

static DWORD WindowBytes(const PayloadFile* file, int64_t index)
{
    const int64_t rest = static_cast<int64_t>(file->payload.length) - (index << file->windowShift);
    const int64_t full = int64_t{1} << file->windowShift;
    return static_cast<DWORD>(rest < full ? rest : full);
}

// The reader thread: fills each free buffer with the next window and says
// whether it matched; stops at the first that did not, or when told.
static DWORD WINAPI ReadWindows(void* context)
{
    PayloadFile* file = static_cast<PayloadFile*>(context);
    for (int64_t index = 0; index < file->windows; ++index) {
        WaitForSingleObject(file->free, INFINITE);
        if (file->stop)
            return 0;
        const int slot = static_cast<int>(index & 1);
        const DWORD count = WindowBytes(file, index);
        const int64_t at = static_cast<int64_t>(file->payload.offset) + (index << file->windowShift);
        file->matched[slot] = ReadAt(file->file, at, file->buffers[slot], count) &&
                              DigestMatches(file, file->buffers[slot], count,
                                            file->payload.digests + index * kAppendedDigestBytes);
        ReleaseSemaphore(file->ready, 1, nullptr);
        if (!file->matched[slot])
            return 0;
    }
    return 0;
}

bool OpenPayloadFile(PayloadFile* file, const wchar_t* path, const AppendedPayload& payload, int windowShift)
{
    *file = PayloadFile{INVALID_HANDLE_VALUE, payload, windowShift, 0, {}, {}, nullptr, nullptr, nullptr, 0, -1,
                        nullptr, nullptr, 0};
    const uint64_t length = payload.length;
    if (length == 0 || payload.offset > INT64_MAX - length)
        return false;
    if (path == nullptr) {
        const DWORD capacity = sizeof g_programPath / sizeof g_programPath[0];
        DWORD units = GetModuleFileNameW(nullptr, g_programPath, capacity);
        if (units == 0 || units >= capacity)
            return false;
        path = g_programPath;
    }
    // Shared for reading only: nobody writes, shortens, renames or deletes
    // the file from now on.
    file->file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file->file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file->file, &size) || static_cast<uint64_t>(size.QuadPart) < payload.offset + length)
        return false;
    BCRYPT_ALG_HANDLE sha256 = nullptr;
    DWORD objectBytes = 0;
    ULONG got = 0;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    file->sha256 = sha256;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(sha256, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectBytes),
                                          sizeof objectBytes, &got, 0)))
        return false;
    file->windows = static_cast<int64_t>((length + (uint64_t{1} << windowShift) - 1) >> windowShift);
    // One allocation for the whole run: the buffers and the hash's state.
    const SIZE_T bufferBytes = WindowBytes(file, 0);
    const int buffers = file->windows > 1 ? 2 : 1;
    unsigned char* memory = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, buffers * bufferBytes + objectBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (memory == nullptr)
        return false;
    file->buffers[0] = memory;
    file->buffers[1] = memory + (buffers - 1) * bufferBytes;
    file->hashObject = memory + buffers * bufferBytes;
    file->hashObjectBytes = objectBytes;
    file->free = CreateSemaphoreW(nullptr, buffers, 2, nullptr);
    file->ready = CreateSemaphoreW(nullptr, 0, 2, nullptr);
    if (file->free == nullptr || file->ready == nullptr)
        return false;
    file->reader = CreateThread(nullptr, 0, ReadWindows, file, 0, nullptr);
    return file->reader != nullptr;
}

const unsigned char* ReadPayloadWindow(void* context, int64_t offset, int64_t* available)
{
    PayloadFile* file = static_cast<PayloadFile*>(context);
    if (offset < 0 || offset >= static_cast<int64_t>(file->payload.length))
        return nullptr;
    // Shifts, not divisions: 32-bit code takes 64-bit division from the
    // compiler's runtime, which setup.exe does without.
    const int64_t index = offset >> file->windowShift;
    const int slot = static_cast<int>(index & 1);
    if (index != file->windowIndex) {
        if (index != file->windowIndex + 1 || (file->windowIndex >= 0 && !file->matched[1 - slot]))
            return nullptr;
        // The window before is done with; its buffer takes the one after.
        if (file->windowIndex >= 0)
            ReleaseSemaphore(file->free, 1, nullptr);
        WaitForSingleObject(file->ready, INFINITE);
        file->windowIndex = index;
    }
    if (!file->matched[slot])
        return nullptr;
    const int64_t within = offset - (index << file->windowShift);
    *available = WindowBytes(file, index) - within;
    return file->buffers[slot] + within;
}

void ClosePayloadFile(PayloadFile* file)
{
    if (file->reader != nullptr) {
        InterlockedExchange(&file->stop, 1);
        ReleaseSemaphore(file->free, 1, nullptr);  // wakes the thread if it waits for a buffer
        WaitForSingleObject(file->reader, INFINITE);
        CloseHandle(file->reader);
    }
    if (file->free != nullptr)
        CloseHandle(file->free);
    if (file->ready != nullptr)
        CloseHandle(file->ready);
    if (file->buffers[0] != nullptr)
        VirtualFree(file->buffers[0], 0, MEM_RELEASE);
    if (file->sha256 != nullptr)
        BCryptCloseAlgorithmProvider(file->sha256, 0);
    if (file->file != INVALID_HANDLE_VALUE)
        CloseHandle(file->file);
    *file = PayloadFile{INVALID_HANDLE_VALUE, {}, 0, 0, {}, {}, nullptr, nullptr, nullptr, 0, -1, nullptr, nullptr, 0};
}
