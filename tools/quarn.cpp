// quarn: the maker's tool for installer payloads. Packs a folder into a
// payload, lists a payload, and extracts one through the installer's own
// extraction code.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "payload/archive_extractor.h"
#include "payload/payload_range.h"
#include "tools/folder_packer.h"
#include "tools/install_target.h"
#include "tools/windows_names.h"

namespace {

constexpr int kExitBadArchive = 1;
constexpr int kExitUsage = 2;
constexpr int kMaxThreads = 1024;

const char kUsage[] =
    "usage: quarn pack DIR PAYLOAD [--level N] [--threads N] [--install-dir PATH] [--exe-name NAME] [--product-name NAME]\n"
    "       quarn list PAYLOAD\n"
    "       quarn extract PAYLOAD DIR\n";

const char kHelp[] =
    "\n"
    "pack     writes the folder DIR as a Quarn archive in one zlib stream to\n"
    "         PAYLOAD, compressed with libdeflate at level N (0..12, default\n"
    "         12) in 4 MiB chunks on --threads N threads (default: one for\n"
    "         each core); chunks that do not compress are stored. Names are\n"
    "         taken as UTF-8 and stored as Windows-1252; each folder's files\n"
    "         come before its subfolders, both sorted by name bytes, so the\n"
    "         same tree and level always give the same bytes, whatever the\n"
    "         thread count. The archive is built in memory, so packing takes\n"
    "         about the archive's size plus the payload's in memory, and some\n"
    "         10 MB for each thread (a 1 GB game about 2 GB). Names Windows\n"
    "         cannot hold, symbolic links, special files, files over 2 GiB\n"
    "         and payloads over 1 GiB (what setup.exe can hold) are refused,\n"
    "         and then no PAYLOAD is written.\n"
    "         The other options name the installer the payload goes into, and\n"
    "         refuse what would fail on a player's machine: an install folder\n"
    "         that is not X:\\... or ends with a backslash, a full path under it\n"
    "         over 259 bytes for a file or 247 for a folder, an executable\n"
    "         (a path from the tree's top, '\\' between folders) that is not a\n"
    "         file of the tree, and values with characters Windows forbids\n"
    "         there, control bytes or characters Windows-1252 lacks.\n"
    "list     prints one line per entry: kind, size, path.\n"
    "extract  unpacks PAYLOAD into DIR (made if missing) with the installer's\n"
    "         own extraction code. Names stay Windows-1252 bytes.\n"
    "\n"
    "Exit status: 0 done; 1 the payload is not a sound archive (the reason is\n"
    "printed); 2 bad command line, or an input or output that cannot be used.\n";

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "quarn: %s (see quarn --help)\n", text.c_str());
    return kExitUsage;
}

// A path as one printable line: control bytes become escapes.
std::string Printable(const std::string& path)
{
    std::string result;
    for (unsigned char byte : path) {
        if (byte == '\n') {
            result += "\\n";
        } else if (byte == '\r') {
            result += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            result += escape;
        } else {
            result.push_back(static_cast<char>(byte));
        }
    }
    return result;
}

int Fail(int code, const std::string& path, const std::string& text)
{
    std::fprintf(stderr, "quarn: %s: %s\n", Printable(path).c_str(), text.c_str());
    return code;
}

// ---------------------------------------------------------------------------
// Progress on a terminal

using Clock = std::chrono::steady_clock;

struct ProgressLine {
    bool enabled;  // stderr is a terminal
    bool drawn;
    bool compressing;  // the compressing stage has begun
    Clock::time_point start;
    Clock::time_point stageStart;
    Clock::time_point lastDraw;
};

ProgressLine StartProgress()
{
    Clock::time_point now = Clock::now();
    return {isatty(STDERR_FILENO) == 1, false, false, now, now, now};
}

// Redraws at most ten times a second, and not at all for the first quarter
// second, so quick runs stay quiet.
bool ProgressDue(ProgressLine* line)
{
    if (!line->enabled)
        return false;
    Clock::time_point now = Clock::now();
    if (now - line->start < std::chrono::milliseconds(250) || now - line->lastDraw < std::chrono::milliseconds(100))
        return false;
    line->lastDraw = now;
    line->drawn = true;
    return true;
}

void DrawProgress(const char* verb, int percent, const char* detail)
{
    char bar[21];
    for (int i = 0; i < 20; ++i)
        bar[i] = i < percent / 5 ? '#' : '.';
    bar[20] = '\0';
    std::fprintf(stderr, "\r%s [%s] %3d%% %s", verb, bar, percent, detail);
    std::fflush(stderr);
}

void ClearProgress(ProgressLine* line)
{
    if (line->drawn)
        std::fprintf(stderr, "\r%*s\r", 78, "");
    line->drawn = false;
}

double Megabytes(uint64_t bytes) { return static_cast<double>(bytes) / 1e6; }

double Seconds(Clock::duration elapsed) { return std::chrono::duration<double>(elapsed).count(); }

void ShowPackProgress(void* context, const PackStatus& status)
{
    ProgressLine* line = static_cast<ProgressLine*>(context);
    char detail[96];
    if (status.stage == PackStage::Done) {
        // The last word, for a maker at a terminal; scripts get silence.
        ClearProgress(line);
        if (line->enabled)
            std::fprintf(stderr, "packed %.1f MB into %.1f MB in %.1f s, holding up to %.0f MB of memory\n",
                         Megabytes(status.total), Megabytes(status.done), Seconds(Clock::now() - line->start),
                         Megabytes(status.memoryBytes));
        return;
    }
    if (status.stage == PackStage::Compressing && !line->compressing) {
        line->compressing = true;
        line->stageStart = Clock::now();
    }
    if (!ProgressDue(line))
        return;
    if (status.stage == PackStage::Reading) {
        std::snprintf(detail, sizeof detail, "%.1f / %.1f MB", Megabytes(status.done), Megabytes(status.total));
        DrawProgress("reading    ", status.total == 0 ? 100 : static_cast<int>(status.done * 100 / status.total),
                     detail);
    } else {
        const double seconds = Seconds(Clock::now() - line->stageStart);
        std::snprintf(detail, sizeof detail, "compressing %3d%%  %llu/%llu chunks  %.1f MB/s  %d %s  up to %.0f MB",
                      status.chunks == 0 ? 100 : static_cast<int>(status.chunksDone * 100 / status.chunks),
                      static_cast<unsigned long long>(status.chunksDone), static_cast<unsigned long long>(status.chunks),
                      seconds > 0 ? Megabytes(status.done) / seconds : 0.0, status.threads,
                      status.threads == 1 ? "thread" : "threads", Megabytes(status.memoryBytes));
        std::fprintf(stderr, "\r%-77s", detail);
        std::fflush(stderr);
    }
}

void ShowExtractProgress(void* context, int percent)
{
    ProgressLine* line = static_cast<ProgressLine*>(context);
    if (ProgressDue(line))
        DrawProgress("extracting", percent, "");
}

// ---------------------------------------------------------------------------
// Payload files

// A payload file mapped read-only, as the installer sees its resource.
struct MappedPayload {
    const unsigned char* base = nullptr;
    size_t size = 0;
    ~MappedPayload()
    {
        if (base != nullptr)
            munmap(const_cast<unsigned char*>(base), size);
    }
};

// 0, or the exit code after printing why the payload cannot be used.
int MapPayload(const char* path, MappedPayload* mapped)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return Fail(kExitUsage, path, std::strerror(errno));
    struct stat info;
    int result = 0;
    if (fstat(fd, &info) != 0) {
        result = Fail(kExitUsage, path, std::strerror(errno));
    } else if (!S_ISREG(info.st_mode)) {
        result = Fail(kExitUsage, path, "not a file");
    } else if (info.st_size == 0) {
        result = Fail(kExitBadArchive, path, "empty payload");
    } else if (info.st_size > INT32_MAX) {
        result = Fail(kExitBadArchive, path, "payload is over 2147483647 bytes");
    } else {
        void* base = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (base == MAP_FAILED) {
            result = Fail(kExitUsage, path, std::strerror(errno));
        } else {
            mapped->base = static_cast<const unsigned char*>(base);
            mapped->size = static_cast<size_t>(info.st_size);
        }
    }
    close(fd);
    return result;
}

PayloadRange RangeOf(const MappedPayload& mapped, PayloadProgress progress, void* context)
{
    return {mapped.base, static_cast<int32_t>(mapped.size), progress, context};
}

// ---------------------------------------------------------------------------
// Commands

void RemoveTemporaryAndDie(int signal)
{
    RemovePackTemporary();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
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

// A level is one or two digits, 0 to 12; false for anything else.
bool ParseLevel(const std::string& value, int* level)
{
    if (value.empty() || value.size() > 2 || value.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *level = std::atoi(value.c_str());
    return *level <= kMaxCompressionLevel;
}

// A thread count is 1 to kMaxThreads, in digits; false for anything else.
bool ParseThreads(const std::string& value, int* threads)
{
    if (value.empty() || value.size() > 4 || value.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *threads = std::atoi(value.c_str());
    return *threads >= 1 && *threads <= kMaxThreads;
}

int Pack(const std::vector<std::string>& args)
{
    std::vector<std::string> operands;
    std::string level = std::to_string(kDefaultCompressionLevel);
    std::string threads;
    InstallTarget given;
    const struct {
        const char* name;
        std::string* value;
    } flags[] = {{"--level", &level},
                 {"--threads", &threads},
                 {"--install-dir", &given.installDir},
                 {"--exe-name", &given.exeName},
                 {"--product-name", &given.productName}};
    for (size_t i = 0; i < args.size(); ++i) {
        int taken = 0;
        for (const auto& flag : flags) {
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
        operands.push_back(args[i]);
    }
    PackOptions options;
    if (!ParseLevel(level, &options.level))
        return UsageError("--level takes a number from 0 to 12, not '" + level + "'");
    if (!threads.empty() && !ParseThreads(threads, &options.threads))
        return UsageError("--threads takes a number from 1 to 1024, not '" + threads + "'");
    if (operands.size() != 2)
        return UsageError("pack takes a folder and a payload path");
    PackError error;
    InstallTarget target;
    if (!CheckInstallTarget(given, &target, &error))
        return Fail(kExitUsage, error.path, error.text);
    if (!given.installDir.empty() || !given.exeName.empty() || !given.productName.empty())
        options.target = &target;

    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, RemoveTemporaryAndDie);
    ProgressLine line = StartProgress();
    options.progress = ShowPackProgress;
    options.context = &line;
    bool packed = PackFolder(operands[0].c_str(), operands[1].c_str(), options, &error);
    ClearProgress(&line);
    if (!packed)
        return Fail(kExitUsage, error.path, error.text);
    return 0;
}

// Inflates and drops the n body bytes of a listed file. True when all came.
bool SkipBody(ArchiveExtractor* x, int n)
{
    InflatingReader* reader = x->reader.get();
    for (int total = 0; total < n;) {
        int chunk = n - total < kBlockSize ? n - total : kBlockSize;
        int produced = InflateBytes(reader, x->block, chunk);
        total += produced;
        if (reader->errorText != nullptr || (produced < chunk && reader->finished))
            return false;
    }
    return true;
}

void PrintEntry(char kind, const std::string& size, const char* path)
{
    std::printf("%c %8s %s\n", kind, size.c_str(), Printable(Cp1252ToUtf8(path)).c_str());
}

const char* ListFolder(void*, ArchiveExtractor*, const char* path)
{
    PrintEntry('d', "-", path);
    return nullptr;
}

const char* ListFile(void*, ArchiveExtractor* x, int size, const char* path)
{
    PrintEntry('f', std::to_string(size), path);
    return size < 0 || !SkipBody(x, size) ? kStopExtractionError : nullptr;
}

int List(const std::vector<std::string>& args)
{
    if (args.size() == 1 && args[0].size() > 1 && args[0][0] == '-')
        return UsageError("unknown option '" + args[0] + "'");
    if (args.size() != 1)
        return UsageError("list takes a payload path");
    MappedPayload mapped;
    if (int failed = MapPayload(args[0].c_str(), &mapped))
        return failed;
    // The extractor's own walk, printing instead of writing, so it stops
    // where and why an install would.
    const char* stop = WalkPayloadRange(RangeOf(mapped, nullptr, nullptr), {ListFolder, ListFile, nullptr});
    std::fflush(stdout);
    if (stop != nullptr)
        return Fail(kExitBadArchive, args[0], stop);
    return 0;
}

int Extract(const std::vector<std::string>& args)
{
    for (const std::string& arg : args) {
        if (arg.size() > 1 && arg[0] == '-')
            return UsageError("unknown option '" + arg + "'");
    }
    if (args.size() != 2)
        return UsageError("extract takes a payload path and a folder");
    const std::string& payload = args[0];
    const std::string& dir = args[1];
    MappedPayload mapped;
    if (int failed = MapPayload(payload.c_str(), &mapped))
        return failed;

    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return Fail(kExitUsage, dir, std::strerror(errno));
    if (chdir(dir.c_str()) != 0)
        return Fail(kExitUsage, dir, std::strerror(errno));

    ProgressLine line = StartProgress();
    const char* stop = ExtractPayloadRange(RangeOf(mapped, ShowExtractProgress, &line));
    ClearProgress(&line);
    if (stop != nullptr)
        return Fail(kExitBadArchive, payload, stop);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return UsageError("no command given");
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        std::printf("%s%s", kUsage, kHelp);
        return 0;
    }
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::printf("%s%s", kUsage, kHelp);
            return 0;
        }
    }
    if (command == "pack")
        return Pack(args);
    if (command == "list")
        return List(args);
    if (command == "extract")
        return Extract(args);
    return UsageError("unknown command '" + command + "'");
}
