// Reading the appended payload from setup.exe's own file.
#include "platform/payload_file.h"

// Long enough for any path Windows gives a running program; in .bss, so
// setup.exe does not grow.
static wchar_t g_programPath[32768];

bool OpenPayloadFile(PayloadFile* file, uint64_t offset, uint64_t length)
{
    *file = PayloadFile{INVALID_HANDLE_VALUE, nullptr, 0, 0, nullptr, 0, 0, 0};
    if (length == 0 || offset > INT64_MAX - length)
        return false;
    const DWORD capacity = sizeof g_programPath / sizeof g_programPath[0];
    DWORD units = GetModuleFileNameW(nullptr, g_programPath, capacity);
    if (units == 0 || units >= capacity)
        return false;
    // Shared for reading only: nobody shortens the file while it is mapped.
    file->file = CreateFileW(g_programPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file->file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file->file, &size) || static_cast<uint64_t>(size.QuadPart) < offset + length)
        return false;
    file->mapping = CreateFileMappingW(file->file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (file->mapping == nullptr)
        return false;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    file->granularity = system.dwAllocationGranularity;
    file->start = static_cast<int64_t>(offset);
    file->length = static_cast<int64_t>(length);
    return true;
}

const unsigned char* MapPayloadWindow(void* context, int64_t offset, int64_t* available)
{
    PayloadFile* file = static_cast<PayloadFile*>(context);
    if (offset < 0 || offset >= file->length)
        return nullptr;
    const int64_t at = file->start + offset;
    if (file->view == nullptr || at < file->viewAt || at >= file->viewAt + file->viewBytes) {
        if (file->view != nullptr)
            UnmapViewOfFile(file->view);
        file->view = nullptr;
        const int64_t viewAt = at & ~static_cast<int64_t>(file->granularity - 1);  // a power of two
        const int64_t end = file->start + file->length;
        const int64_t bytes = end - viewAt < kPayloadWindowBytes ? end - viewAt : kPayloadWindowBytes;
        void* view = MapViewOfFile(file->mapping, FILE_MAP_READ, static_cast<DWORD>(viewAt >> 32),
                                   static_cast<DWORD>(viewAt), static_cast<SIZE_T>(bytes));
        if (view == nullptr)
            return nullptr;
        file->view = static_cast<const unsigned char*>(view);
        file->viewAt = viewAt;
        file->viewBytes = bytes;
    }
    *available = file->viewAt + file->viewBytes - at;
    return file->view + (at - file->viewAt);
}

void ClosePayloadFile(PayloadFile* file)
{
    if (file->view != nullptr)
        UnmapViewOfFile(file->view);
    if (file->mapping != nullptr)
        CloseHandle(file->mapping);
    if (file->file != INVALID_HANDLE_VALUE)
        CloseHandle(file->file);
    file->view = nullptr;
    file->mapping = nullptr;
    file->file = INVALID_HANDLE_VALUE;
}
