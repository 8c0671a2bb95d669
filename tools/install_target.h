// The installer a payload is packed for: its product name, install folder
// and the game's executable, checked at build time against the rules of the
// places where Windows will use each, and the packed tree checked against
// them, so that a mistake stops the build instead of a player's install.
#pragma once

#include <cstddef>
#include <string>

#include "tools/pack_error.h"
#include "tools/windows_names.h"

struct FolderScan;

// The longest full paths, in UTF-16 units, that setup.exe may create:
// MAX_PATH less the terminator for a file, less twelve more for a folder.
constexpr size_t kMaxInstalledFilePath = 259;
constexpr size_t kMaxInstalledFolderPath = 247;
// The link is Programs\<name>\<name>.lnk in 260 UTF-16 units. With
// administrator rights, as setup.exe asks for, Programs is the folder all
// accounts share, which takes 51 of them; without, the account's own, which
// can take 83 (C:\Users\, a 20-character user name,
// \AppData\Roaming\Microsoft\Windows\Start Menu\Programs).
constexpr size_t kMaxProductName = 80;

// Each field empty when not given; given ones are checked.
struct InstallTarget {
    std::string productName;  // the Start-menu group's and the link's name
    std::string installDir;   // "X:\..." without a trailing backslash
    std::string exeName;      // a file of the payload, '\' between folders
};

// Checks the values as the maker gave them (UTF-8) and sets *checked to the
// same values in the encoding, as setup.exe holds them. Lengths count UTF-16
// units, as Windows does. False, with error naming the value, for bytes that
// are not UTF-8, a character the encoding lacks, a control byte or a
// character Windows forbids in that place, a name Windows would change or
// read as a device, an install folder that is not X:\... or ends with a
// backslash or is too long for a folder, an executable name that is not a
// relative path, and a product name too long for its link.
bool CheckInstallTarget(const InstallTarget& given, NameEncoding encoding, InstallTarget* checked, PackError* error);

// Checks a scanned tree against the checked values (in the tree's encoding):
// every full path within Windows' limits under the install folder, and the executable one of its
// files (Windows finds it whatever the case of its name). True, or false
// with error naming the path or the executable.
bool TreeFitsTarget(const InstallTarget& checked, const FolderScan& tree, PackError* error);
