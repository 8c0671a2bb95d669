// quarn's three commands, each run with its command line read.
#pragma once

#include "tools/quarn_cmdline.h"

// Packs operands[0] into the payload operands[1]. 0, or kExitUsage after one
// line naming the value, folder or file that stopped it.
int PackCommand(const QuarnArgs& args);

// Prints one line per entry of the payload operands[0]: kind, size, path.
// 0; kExitBadArchive after the reason the walk stopped; kExitUsage when the
// payload cannot be read.
int ListCommand(const QuarnArgs& args);

// Unpacks the payload operands[0] into the folder operands[1], made if
// missing. 0; kExitBadArchive after the stop reason; kExitUsage when the
// payload or the folder cannot be used.
int ExtractCommand(const QuarnArgs& args);
