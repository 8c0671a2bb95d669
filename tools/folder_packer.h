// Packing a folder tree into a payload file the installer can carry: the
// tree is scanned and checked whole first, then written through the archive
// writer to a temporary file that replaces the payload only at the end.
#pragma once

#include <cstdint>
#include <string>

// A line counts its LF; "./" + path + LF must fit the reader's line buffer.
constexpr int kMaxArchiveLine = 4999;
constexpr int64_t kMaxArchiveFileSize = INT32_MAX;

// Why a pack was refused or failed: the path it concerns (as the user would
// type it, dir-relative paths prefixed with dir) and a one-line text.
struct PackError {
    std::string path;
    std::string text;
};

struct InstallTarget;

// Called with bytes of file bodies done so far and their total.
using PackProgress = void (*)(void* context, uint64_t done, uint64_t total);

// Packs the tree under dir into payload as one zlib stream at level.
// Entry order: "." first; in each folder its files, then its subfolders,
// each sorted by strcmp of the on-disk name bytes; a subfolder's "d" entry
// comes right before its contents. The same tree always gives the same bytes.
// Everything is checked before anything is written, and output goes to a
// temporary file beside payload that is renamed over it only at the end, so
// a refusal or failure leaves no file behind. With a target (its values in
// Windows-1252, see CheckInstallTarget) the tree must also fit the installer
// it goes into: every full path within Windows' limits under the install
// folder, and the executable one of its files. Returns true, or false with
// error filled in.
bool PackFolder(const char* dir, const char* payload, int level, const InstallTarget* target,
                PackProgress progress, void* context, PackError* error);

// Removes the temporary file of a pack in progress, if any; safe to call
// from a signal handler.
void RemovePackTemporary();
