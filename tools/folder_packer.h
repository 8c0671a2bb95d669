// Packing a folder tree into a payload file the installer can carry: the
// tree is scanned and checked whole first (tools/folder_scan.h), then the
// pack run reads it once, feeding the archive writer's text into the
// chunked compressor, and writes the stream as it comes through a temporary
// file that replaces the payload only at the end (tools/payload_output.h).
#pragma once

#include <cstdint>

#include "payload/appended_payload.h"
#include "tools/archive_writer.h"
#include "tools/pack_error.h"
#include "tools/windows_names.h"

enum class PackStage {
    Packing,  // the tree read and compressed at once: done and total count file body bytes
    Done,     // done is the payload's bytes, total the archive's
};

struct PackStatus {
    PackStage stage;
    uint64_t done;
    uint64_t total;
    uint64_t archiveBytes;
    uint64_t memoryBytes;  // the most the chunks in flight and the threads hold
    uint64_t chunksDone;   // written to the payload
    uint64_t chunks;       // the archive's
    int threads;           // compressing
};

using PackProgress = void (*)(void* context, const PackStatus& status);

struct InstallTarget;

struct PackOptions {
    int level = kDefaultCompressionLevel;  // libdeflate's 0..12
    int threads = 0;                       // 0: one for each core; the bytes do not depend on it
    // The encoding of the archive's names, the one the installer is built
    // with.
    NameEncoding encoding = NameEncoding::kWindows1252;
    // The installer the payload goes into, its values in that encoding (see
    // CheckInstallTarget); null for none in particular.
    const InstallTarget* target = nullptr;
    // The largest payload setup.exe can carry (payload/appended_payload.h); one
    // over kMaxResourcePayloadBytes follows the image (tools/attach_payload.cpp).
    uint64_t maxPayloadBytes = kMaxPayloadBytes;
    PackProgress progress = nullptr;
    void* context = nullptr;
};

// Packs the tree under dir into payload as one zlib stream. Entry order: "."
// first; in each folder its files, then its subfolders, each sorted by
// strcmp of the on-disk name bytes; a subfolder's "d" entry comes right
// before its contents. The tree is read once, in that order, and its text
// compressed in chunks on threads threads as it comes, each chunk written
// in order once it and those before it are done, so a pack holds a fixed
// number of chunks (DeflateStreamMemory, some 70 MB on two threads)
// whatever the tree's size.
// The same tree and level always give the same bytes, whatever the thread
// count. The tree and the memory the pack needs are checked before anything
// is written; a payload that grows over maxPayloadBytes stops the pack there
// (at level 0, where its size is known, before it starts). Output goes to a
// temporary file beside payload that is renamed over it only at the end, so
// a refusal or failure leaves no file behind. With a target the tree must
// also fit the installer it goes into: every full path within Windows'
// limits under the install folder, and the executable one of its files.
// Returns true, or false with error filled in.
bool PackFolder(const char* dir, const char* payload, const PackOptions& options, PackError* error);
