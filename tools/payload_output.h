// The payload file a pack writes: a temporary file beside it, renamed over
// it only once the whole payload is written, so that a refusal or a failure
// leaves no file behind.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "tools/pack_error.h"

// The temporary file, removed when the record ends unless it was committed.
struct PayloadOutput {
    const char* payload = nullptr;  // the path it replaces
    std::string path;               // the temporary's, "" before it exists
    FILE* file = nullptr;
    bool kept = false;
    ~PayloadOutput();
};

// Refuses a dir that does not exist or is not a folder, and a payload that
// would be written inside it. True, or false with error filled.
bool CheckFolderAndPayload(const char* dir, const char* payload, PackError* error);

// Makes the temporary file beside payload, with the mode a new file would
// get. False, with error naming the payload, when it cannot be made.
bool OpenPayloadOutput(PayloadOutput* output, const char* payload, PackError* error);

// Appends bytes to the temporary. False, with error naming the payload, when
// they cannot be written.
bool WritePayloadOutput(PayloadOutput* output, const unsigned char* bytes, size_t size, PackError* error);

// Flushes the temporary to disk, closes it and renames it over the
// payload. False, with error naming the payload, when any of them fails.
bool CommitPayloadOutput(PayloadOutput* output, PackError* error);

// Removes the temporary file of a pack in progress, if any; safe to call
// from a signal handler.
void RemovePackTemporary();
