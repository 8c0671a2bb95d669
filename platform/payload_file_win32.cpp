// Reading the appended payload from setup.exe's own file, window by
// window, each checked with the system's SHA-256 (CNG).
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

static bool DigestMatches(PayloadFile* file, DWORD count, const unsigned char* expected)
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[kAppendedDigestBytes];
    const bool done =
        BCRYPT_SUCCESS(BCryptCreateHash(file->sha256, &hash, file->hashObject, file->hashObjectBytes, nullptr, 0, 0)) &&
        BCRYPT_SUCCESS(BCryptHashData(hash, file->window, count, 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    unsigned char differ = 0;
    for (int i = 0; i < kAppendedDigestBytes; ++i)
        differ |= static_cast<unsigned char>(digest[i] ^ expected[i]);
    return done && differ == 0;
}

bool OpenPayloadFile(PayloadFile* file, const wchar_t* path, const AppendedPayload& payload, int windowShift)
{
    *file = PayloadFile{INVALID_HANDLE_VALUE, payload, windowShift, nullptr, -1, 0, nullptr, nullptr, 0};
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
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(BCryptGetProperty(sha256, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectBytes),
                                          sizeof objectBytes, &got, 0)))
        return false;
    file->sha256 = sha256;
    const uint64_t windowBytes = uint64_t{1} << windowShift;
    const SIZE_T bufferBytes = static_cast<SIZE_T>(length < windowBytes ? length : windowBytes);
    // One allocation for the whole run: the window and the hash's state.
    file->window = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, bufferBytes + objectBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (file->window == nullptr)
        return false;
    file->hashObject = file->window + bufferBytes;
    file->hashObjectBytes = objectBytes;
    return true;
}

const unsigned char* ReadPayloadWindow(void* context, int64_t offset, int64_t* available)
{
    PayloadFile* file = static_cast<PayloadFile*>(context);
    const int64_t length = static_cast<int64_t>(file->payload.length);
    if (offset < 0 || offset >= length)
        return nullptr;
    // Shifts, not divisions: 32-bit code takes 64-bit division from the
    // compiler's runtime, which setup.exe does without.
    const int64_t index = offset >> file->windowShift;
    const int64_t first = index << file->windowShift;
    if (index != file->windowIndex) {
        file->windowIndex = -1;
        const int64_t rest = length - first;
        const int64_t full = int64_t{1} << file->windowShift;
        const DWORD count = static_cast<DWORD>(rest < full ? rest : full);
        const int64_t at = static_cast<int64_t>(file->payload.offset) + first;
        if (!ReadAt(file->file, at, file->window, count) ||
            !DigestMatches(file, count, file->payload.digests + index * kAppendedDigestBytes))
            return nullptr;
        file->windowIndex = index;
        file->windowBytes = count;
    }
    *available = file->windowBytes - (offset - first);
    return file->window + (offset - first);
}

void ClosePayloadFile(PayloadFile* file)
{
    if (file->window != nullptr)
        VirtualFree(file->window, 0, MEM_RELEASE);
    if (file->sha256 != nullptr)
        BCryptCloseAlgorithmProvider(file->sha256, 0);
    if (file->file != INVALID_HANDLE_VALUE)
        CloseHandle(file->file);
    file->window = nullptr;
    file->sha256 = nullptr;
    file->file = INVALID_HANDLE_VALUE;
}
