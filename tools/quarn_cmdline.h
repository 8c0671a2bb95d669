// quarn's command line: the command and its words, read into one record
// before anything runs.
#pragma once

#include <string>
#include <vector>

#include "tools/archive_writer.h"
#include "tools/install_target.h"
#include "tools/windows_names.h"

constexpr int kExitBadArchive = 1;
constexpr int kExitUsage = 2;
// What ReadQuarnArgs returns when a command is to run.
constexpr int kRunCommand = -1;

enum class QuarnCommand { Pack, List, Extract };

struct QuarnArgs {
    QuarnCommand command = QuarnCommand::Pack;
    // pack: DIR PAYLOAD; list: PAYLOAD; extract: PAYLOAD DIR.
    std::vector<std::string> operands;
    int level = kDefaultCompressionLevel;  // pack's
    int threads = 0;                       // pack's; 0 for one for each core
    InstallTarget target;                  // pack's values as given, empty when not
    NameEncoding encoding = NameEncoding::kWindows1252;  // of the archive's names, for every command
};

// Reads the command line into *parsed. Returns kRunCommand when the command
// is to run; 0 after printing the help (asked for anywhere on the line); or
// kExitUsage after one line on stderr saying what is wrong: no command, an
// unknown command or option, an option without its value, a level outside
// 0..12, a thread count outside 1..1024, an encoding other than windows-1252 and utf-8, or the wrong number
// of operands.
int ReadQuarnArgs(int argc, char** argv, QuarnArgs* parsed);
