// setup.exe's own file, opened to read the payload that follows its image
// (payload/appended_payload.h). The file is opened by name, and another
// process may have put anything at that name since the loader mapped the
// image, so each window of the payload is read into a buffer of the
// installer's own and handed out only once its digest matches the record's.
// Reading, not mapping: a view of the file could change between the check
// and the use, and a failing disk would end the process at a fault instead
// of at the failure dialog.
//
// A thread of its own reads and checks the next window while the unpacker
// takes the one before, so the reading and the hashing cost the install
// little time of its own: two buffers, each filled by that thread, then
// handed to the unpacker, then given back, in window order.
#pragma once

#include <windows.h>

#include <cstdint>

#include "payload/appended_payload.h"

struct PayloadFile {
    HANDLE file;
    AppendedPayload payload;
    int windowShift;            // a window is 2^windowShift bytes
    int64_t windows;
    unsigned char* buffers[2];  // window i in buffers[i % 2]
    bool matched[2];            // whether it read and matched; set before ready is released
    HANDLE free;                // semaphore: buffers the thread may fill
    HANDLE ready;               // semaphore: buffers filled, in window order
    HANDLE reader;              // the thread
    LONG stop;                  // set by ClosePayloadFile
    int64_t windowIndex;        // of the window the unpacker holds, -1 for none
    void* sha256;               // the system's algorithm handle
    unsigned char* hashObject;  // the reader thread's
    unsigned long hashObjectBytes;
};

// Opens the file at path (null: the running program's own), sharing read
// only, for the length bytes at the record's offset, checked in windows of
// 2^windowShift bytes against the record's digests, and starts reading the
// first window; the file stays open until ClosePayloadFile. False when it
// cannot be opened or is shorter than the record says (a payload cut
// short), or when the buffers, the thread or the system's SHA-256 cannot
// be had.
bool OpenPayloadFile(PayloadFile* file, const wchar_t* path, const AppendedPayload& payload, int windowShift);

// A PayloadWindow over an open PayloadFile (the context), for offsets that
// go forward: null when the window holding offset could not be read or does
// not match its digest, or lies before the one handed out last.
const unsigned char* ReadPayloadWindow(void* context, int64_t offset, int64_t* available);

// Stops the thread and closes the file; also after a failed open.
void ClosePayloadFile(PayloadFile* file);
