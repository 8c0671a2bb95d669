// The installer's built-in values; the build generates their definitions
// from the same settings as the dialog texts, so the two always agree.
#pragma once

extern const char kProductName[];  // Start-menu group, link name and description
extern const char kInstallDir[];   // absolute install folder; only its last level is created
extern const char kExeName[];      // the game's executable inside kInstallDir
