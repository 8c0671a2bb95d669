// setup.exe's own file, opened to read the payload that follows its image
// (payload/appended_payload.h). The file is opened by name, and another
// process may have put anything at that name since the loader mapped the
// image, so each window of the payload is read into a buffer of the
// installer's own and handed out only once its digest matches the record's.
// Reading, not mapping: a view of the file could change between the check
// and the use, and a failing disk would end the process at a fault instead
// of at the failure dialog.
#pragma once

#include <windows.h>

#include <cstdint>

#include "payload/appended_payload.h"

struct PayloadFile {
    HANDLE file;
    AppendedPayload payload;
    int windowShift;         // a window is 2^windowShift bytes
    unsigned char* window;   // the buffer, one window's size
    int64_t windowIndex;     // of the checked window it holds, -1 for none
    int64_t windowBytes;     // its bytes
    void* sha256;            // the system's algorithm handle
    unsigned char* hashObject;
    unsigned long hashObjectBytes;
};

// Opens the file at path (null: the running program's own), sharing read
// only, for the length bytes at the record's offset, checked in windows of
// 2^windowShift bytes against the record's digests; the file stays open
// until ClosePayloadFile. False when it cannot be opened or is shorter than
// the record says (a payload cut short), or when the buffer or the system's
// SHA-256 cannot be had.
bool OpenPayloadFile(PayloadFile* file, const wchar_t* path, const AppendedPayload& payload, int windowShift);

// A PayloadWindow over an open PayloadFile (the context): null when the
// window holding offset cannot be read or does not match its digest.
const unsigned char* ReadPayloadWindow(void* context, int64_t offset, int64_t* available);

void ClosePayloadFile(PayloadFile* file);
