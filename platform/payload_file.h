// setup.exe's own file, opened to read the payload that follows its image
// (payload/appended_payload.h) through views of bounded size, so the
// address space never holds more than one window of it.
#pragma once

#include <windows.h>

#include <cstdint>

// A window's size: a few slices of the reader's at a time would map too
// often, a whole payload would not fit a 32-bit address space.
constexpr int64_t kPayloadWindowBytes = int64_t{32} << 20;

struct PayloadFile {
    HANDLE file;
    HANDLE mapping;
    int64_t start;   // the payload's offset in the file
    int64_t length;  // its bytes
    const unsigned char* view;  // the window mapped, or null
    int64_t viewAt;             // its offset in the file, a multiple of granularity
    int64_t viewBytes;
    DWORD granularity;
};

// Opens the running program's file, sharing read only, for the length
// bytes at offset. False when it cannot be opened or mapped, or is shorter
// than offset + length: a payload cut short.
bool OpenPayloadFile(PayloadFile* file, uint64_t offset, uint64_t length);

// A PayloadWindow over an open PayloadFile (the context).
const unsigned char* MapPayloadWindow(void* context, int64_t offset, int64_t* available);

void ClosePayloadFile(PayloadFile* file);
