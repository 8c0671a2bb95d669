// What the Win32 side of the platform layer offers setup.exe beyond the
// portable calls: the installer's 8-bit names as Windows' own UTF-16 names,
// and the entry into the install folder. Every name is written in the code
// page the installer was built with, whatever code page the player's Windows
// uses, so each is converted with that one before a wide call.
#pragma once

// 1252 (Windows-1252) or 65001 (UTF-8); defined by the build's
// configuration, beside the names themselves.
extern const unsigned kNameCodePage;

// Converts name to UTF-16 in wide, terminator included, within capacity
// units. Returns the units written (terminator included), or 0 when the name
// holds a byte sequence the code page does not define or does not fit.
int WidenName(const char* name, wchar_t* wide, int capacity);

// True when a file or folder with these attributes and reparse tag is a
// link: a symbolic link, a junction or a mount point (a name-surrogate tag).
// A file compressed by the system, deduplicated or held by a cloud service
// carries another tag and is an ordinary file or folder.
bool IsLinkReparsePoint(unsigned long attributes, unsigned long reparseTag);

// Makes the absolute folder path (its last level only) if it is missing and
// makes it the current directory. False when the name does not convert, the
// folder cannot be made or entered, or it is a link: the folder entered must
// be its parent's own child, so a junction or symbolic link that another
// account left in its place is never followed. The folders above are left
// as they are: one moved to another drive with a junction is the owner's
// choice. Entered, the folder cannot be renamed or removed while the process
// runs, so what the file-system calls check against stays put.
bool EnterInstallFolder(const char* path);

// Removes the files that an earlier install set aside in the current
// directory, the install folder, while the game ran: an old file that a
// running program maps as its image cannot be deleted, so a reinstall moves
// it to ~old-<number>.tmp there and leaves it to the next restart. One that
// the old game still maps stays, left to the restart again. Each is removed
// as CreateNewFile removes an old file, never through a link.
void RemoveSetAsideFiles();
