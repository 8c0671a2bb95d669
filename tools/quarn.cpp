// quarn: the maker's tool for installer payloads. Packs a folder into a
// payload, lists a payload, and extracts one through the installer's own
// extraction code.
#include "tools/quarn_cmdline.h"
#include "tools/quarn_commands.h"

int main(int argc, char** argv)
{
    QuarnArgs args;
    const int exitCode = ReadQuarnArgs(argc, argv, &args);
    if (exitCode != kRunCommand)
        return exitCode;
    switch (args.command) {
    case QuarnCommand::Pack:
        return PackCommand(args);
    case QuarnCommand::List:
        return ListCommand(args);
    case QuarnCommand::Extract:
        return ExtractCommand(args);
    }
    return kExitUsage;
}
