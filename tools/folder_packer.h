// Packing a folder tree into a payload file the installer can carry: the
// tree is scanned and checked whole first (tools/folder_scan.h), then the
// pack run builds and compresses it through the archive writer and writes
// it through a temporary file that replaces the payload only at the end
// (tools/payload_output.h).
#pragma once

#include <cstdint>

#include "tools/archive_writer.h"
#include "tools/pack_error.h"
#include "tools/windows_names.h"

// The largest payload a pack writes. The installer reads the payload's size
// as a signed 32-bit count, so 2 GiB is the format's own ceiling; but Windows
// maps setup.exe whole, in one piece, into the 2 GiB of address space a
// 32-bit process has, which the system DLLs, heaps and thread stacks already
// split up. 1 GiB leaves them room.
constexpr uint64_t kMaxPayloadBytes = uint64_t{1} << 30;

enum class PackStage {
    Reading,      // done and total count file body bytes
    Compressing,  // about ten times a second: done and total count text bytes
    Done,         // done is the payload's bytes, total the archive's
};

struct PackStatus {
    PackStage stage;
    uint64_t done;
    uint64_t total;
    uint64_t archiveBytes;  // the archive text, held whole in memory
    uint64_t memoryBytes;   // at most what the text, the output block and the threads take
    uint64_t chunksDone;    // while compressing
    uint64_t chunks;
    int threads;  // compressing
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
    uint64_t maxPayloadBytes = kMaxPayloadBytes;
    PackProgress progress = nullptr;
    void* context = nullptr;
};

// Packs the tree under dir into payload as one zlib stream. Entry order: "."
// first; in each folder its files, then its subfolders, each sorted by
// strcmp of the on-disk name bytes; a subfolder's "d" entry comes right
// before its contents. The archive text is built in memory and compressed in
// chunks on threads threads, so a pack holds about the archive's size plus
// the payload's, and some 10 MB for each thread. The same tree and level
// always give the same bytes, whatever the thread count. Everything is checked
// before anything is written: the tree, then the memory the pack needs and
// the payload's size, which must stay within maxPayloadBytes. Output goes to
// a temporary file beside payload that is renamed over it only at the end,
// so a refusal or failure leaves no file behind. With a target the tree must
// also fit the installer it goes into: every full path within Windows'
// limits under the install folder, and the executable one of its files.
// Returns true, or false with error filled in.
bool PackFolder(const char* dir, const char* payload, const PackOptions& options, PackError* error);
