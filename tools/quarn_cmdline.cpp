// quarn's command line: the usage and help texts, and each command's words
// read into one record; a mistake gets one line and exit code 2.
#include "tools/quarn_cmdline.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char kUsage[] =
    "usage: quarn pack DIR PAYLOAD [--level N] [--threads N] [--encoding E] [--install-dir PATH]\n"
    "                  [--exe-name NAME] [--product-name NAME]\n"
    "       quarn list PAYLOAD [--encoding E]\n"
    "       quarn extract PAYLOAD DIR [--encoding E]\n";

const char kHelp[] =
    "\n"
    "pack     writes the folder DIR as a Quarn archive in one zlib stream to\n"
    "         PAYLOAD, compressed with libdeflate at level N (0..12, default\n"
    "         12) in 4 MiB chunks on --threads N threads (default: one for\n"
    "         each core); chunks that do not compress are stored. Names are\n"
    "         taken as UTF-8 and stored in the encoding E the installer is\n"
    "         built with: windows-1252 (the default) or utf-8. Each folder's\n"
    "         files come before its subfolders, both sorted by name bytes, so\n"
    "         the same tree and level always give the same bytes, whatever the\n"
    "         thread count. The tree is read once and compressed as it is\n"
    "         read, each chunk written out in order once it is done, so packing\n"
    "         holds two chunks for each thread and two more, their output and\n"
    "         some 10 MB for each thread, whatever the tree's size (about 70 MB\n"
    "         on two threads). Names Windows cannot hold, symbolic links,\n"
    "         special files, files over 2 GiB and payloads over 4278190080\n"
    "         bytes (4 GiB less 16 MiB, what a signed setup.exe can carry) are\n"
    "         refused, and then no PAYLOAD is written.\n"
    "         The other options name the installer the payload goes into, and\n"
    "         refuse what would fail on a player's machine: an install folder\n"
    "         that is not X:\\... or ends with a backslash, a full path under it\n"
    "         over 259 UTF-16 units for a file or 247 for a folder, an\n"
    "         executable (a path from the tree's top, '\\' between folders)\n"
    "         that is not a file of the tree, and values with characters\n"
    "         Windows forbids there, control bytes or characters the encoding\n"
    "         lacks.\n"
    "list     prints one line per entry: kind, size, path (in UTF-8, read in\n"
    "         the encoding E).\n"
    "extract  unpacks PAYLOAD into DIR (made if missing) with the installer's\n"
    "         own extraction code, under the names read in the encoding E,\n"
    "         written in UTF-8; a name the encoding does not define stops it.\n"
    "\n"
    "Exit status: 0 done; 1 the payload is not a sound archive (the reason is\n"
    "printed); 2 bad command line, or an input or output that cannot be used.\n";

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "quarn: %s (see quarn --help)\n", text.c_str());
    return kExitUsage;
}

// Takes option name at args[*i], given as "NAME VALUE" or "NAME=VALUE",
// into *value. 1 when taken, 0 when args[*i] is another argument, -1 when
// the value is missing.
int TakeOption(const std::vector<std::string>& args, size_t* i, const std::string& name, std::string* value)
{
    const std::string& arg = args[*i];
    if (arg == name) {
        if (*i + 1 == args.size())
            return -1;
        *value = args[++*i];
        return 1;
    }
    if (arg.compare(0, name.size() + 1, name + "=") != 0)
        return 0;
    *value = arg.substr(name.size() + 1);
    return 1;
}

constexpr int kMaxThreads = 1024;

// A count from low to high, in at most as many digits as high has; false
// for anything else.
bool ParseCount(const std::string& value, int low, int high, int* count)
{
    if (value.empty() || value.size() > std::to_string(high).size() ||
        value.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *count = std::atoi(value.c_str());
    return *count >= low && *count <= high;
}

struct Flag {
    const char* name;
    std::string* value;
};

// Takes the values of the flags, and of --encoding, which every command
// has, from args and the rest as operands; kRunCommand, or kExitUsage after
// one line.
int ReadWords(const std::vector<std::string>& args, std::vector<Flag> flags, QuarnArgs* parsed)
{
    std::string encoding = "windows-1252";
    flags.push_back({"--encoding", &encoding});
    for (size_t i = 0; i < args.size(); ++i) {
        int taken = 0;
        for (const Flag& flag : flags) {
            taken = TakeOption(args, &i, flag.name, flag.value);
            if (taken < 0)
                return UsageError(std::string(flag.name) + " needs a value");
            if (taken > 0)
                break;
        }
        if (taken > 0)
            continue;
        if (args[i].size() > 1 && args[i][0] == '-')
            return UsageError("unknown option '" + args[i] + "'");
        parsed->operands.push_back(args[i]);
    }
    if (!ParseNameEncoding(encoding, &parsed->encoding))
        return UsageError("--encoding takes windows-1252 or utf-8, not '" + encoding + "'");
    return kRunCommand;
}

int ReadPack(const std::vector<std::string>& args, QuarnArgs* parsed)
{
    std::string level = std::to_string(kDefaultCompressionLevel);
    std::string threads;
    const std::vector<Flag> flags = {{"--level", &level},
                                     {"--threads", &threads},
                                     {"--install-dir", &parsed->target.installDir},
                                     {"--exe-name", &parsed->target.exeName},
                                     {"--product-name", &parsed->target.productName}};
    if (ReadWords(args, flags, parsed) != kRunCommand)
        return kExitUsage;
    if (!ParseCount(level, 0, kMaxCompressionLevel, &parsed->level))
        return UsageError("--level takes a number from 0 to 12, not '" + level + "'");
    if (!threads.empty() && !ParseCount(threads, 1, kMaxThreads, &parsed->threads))
        return UsageError("--threads takes a number from 1 to " + std::to_string(kMaxThreads) + ", not '" +
                          threads + "'");
    if (parsed->operands.size() != 2)
        return UsageError("pack takes a folder and a payload path");
    return kRunCommand;
}

// list and extract: their operands, and --encoding.
int ReadPayloadCommand(const std::vector<std::string>& args, size_t operands, const char* usage, QuarnArgs* parsed)
{
    if (ReadWords(args, {}, parsed) != kRunCommand)
        return kExitUsage;
    if (parsed->operands.size() != operands)
        return UsageError(usage);
    return kRunCommand;
}

}  // namespace

int ReadQuarnArgs(int argc, char** argv, QuarnArgs* parsed)
{
    if (argc < 2)
        return UsageError("no command given");
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    bool help = command == "--help" || command == "-h" || command == "help";
    for (const std::string& arg : args)
        help = help || arg == "--help" || arg == "-h";
    if (help) {
        std::printf("%s%s", kUsage, kHelp);
        return 0;
    }
    if (command == "pack") {
        parsed->command = QuarnCommand::Pack;
        return ReadPack(args, parsed);
    }
    if (command == "list") {
        parsed->command = QuarnCommand::List;
        return ReadPayloadCommand(args, 1, "list takes a payload path", parsed);
    }
    if (command == "extract") {
        parsed->command = QuarnCommand::Extract;
        return ReadPayloadCommand(args, 2, "extract takes a payload path and a folder", parsed);
    }
    return UsageError("unknown command '" + command + "'");
}
