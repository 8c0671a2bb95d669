// Scanning the tree a pack takes in: every item is checked and listed in
// archive order before anything is written, and the folders along the entry
// at hand are held open, for the scan and for the writing after it.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pack_error.h"
#include "tools/windows_names.h"

// One folder or file of the tree, as the archive will hold it.
struct PackEntry {
    bool folder;
    int depth;            // 0 for dir itself, 1 for its items, ...
    std::string name;     // on-disk name within its folder
    std::string source;   // path under dir, '/' separated; "" for dir itself
    std::string archive;  // "./..." in the installer's name encoding
    int64_t size;
};

// A descriptor closed when its holder ends; -1 holds none.
struct FdCloser {
    int fd;
    explicit FdCloser(int opened) : fd(opened) {}
    FdCloser(FdCloser&& other) noexcept : fd(other.fd) { other.fd = -1; }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    FdCloser& operator=(FdCloser&&) = delete;
    ~FdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

// The tree under dir. folders[d] is the open folder at depth d along the
// entry at hand: each folder is opened inside its parent, so trees deeper
// than the system's path limit still pack.
struct FolderScan {
    std::string dir;  // as given, less trailing slashes
    NameEncoding encoding = NameEncoding::kWindows1252;  // of the archive's names
    std::vector<FdCloser> folders;
    std::vector<PackEntry> entries;
    uint64_t totalBytes = 0;  // of all file bodies
};

// Lists the tree under scan->dir into entries: "." first; in each folder its
// files, then its subfolders, each sorted by strcmp of the on-disk name
// bytes, a subfolder's entry right before its contents; names shaped like
// Windows' short names (ABCDEF~1.TXT) are listed so before all others. Refuses links,
// special files, names that are not UTF-8 or that the encoding or Windows
// cannot hold, names that differ only in case, lines too long for the
// archive and files over its largest size, and a tree in UTF-8 where names
// cannot be folded (CanFoldCase). True, or false with error filled.
bool ScanTree(FolderScan* scan, PackError* error);

// Opens a folder entry inside its parent (dir itself for depth 0) and keeps
// it open as the folder at its depth. False, with error filled, when it
// cannot be opened.
bool OpenFolder(FolderScan* scan, const PackEntry& entry, PackError* error);

// Closes the folders below the parent of an entry at depth and returns the
// parent's descriptor.
int ParentFolder(FolderScan* scan, int depth);

// A path under dir as the user would type it: dir itself for "".
std::string DiskPath(const FolderScan& scan, const std::string& source);
