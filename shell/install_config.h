// The installer's built-in values; the build generates their definitions
// from the same settings as the dialog texts, so the two always agree. They
// are 8-bit strings in the code page the build names (kNameCodePage, see
// platform/platform_win32.h), as the archive's names are.
#pragma once

extern const char kProductName[];  // Start-menu group, link name and description
extern const char kInstallDir[];   // absolute install folder; only its last level is created
extern const char kExeName[];      // the game's executable inside kInstallDir
