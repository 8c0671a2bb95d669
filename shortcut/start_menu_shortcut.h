// The game's Start-menu entry: a group folder in the shell's Programs folder
// and a shell link in it that starts the installed executable.
#pragma once

#include <cstdlib>

// An owned heap string of UTF-16 units, freed when the scope ends.
struct ScopedString {
    wchar_t* text = nullptr;

    ScopedString() = default;
    ScopedString(const ScopedString&) = delete;
    ScopedString& operator=(const ScopedString&) = delete;
    ~ScopedString() { std::free(text); }
};

// Programs is the Programs folder shared by all accounts when the process
// has administrator rights, the account's own otherwise.
// Makes Programs\groupName if missing and saves Programs\groupName\linkName.lnk
// pointing at workingDir\exeName, with workingDir as working folder, linkName
// as description and, when iconName is neither null nor empty,
// workingDir\iconName as icon. The names are 8-bit strings in the
// installer's code page; the paths are built from their UTF-16 forms, in
// buffers of 260 and 261 units.
// Returns 0 when the link was saved. -1 when: a name does not convert; the
// Programs folder cannot be found; a path does not fit its buffer (nothing
// is made then); the group folder is missing and cannot be made (a plain
// file of that name included); COM cannot be initialised; the link object
// or its file interface cannot be had; or the save fails.
int CreateStartMenuShortcut(const char* groupName, const char* linkName, const char* workingDir,
                            const char* exeName, const char* iconName);
