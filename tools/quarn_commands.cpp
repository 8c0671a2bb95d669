// quarn's commands: pack a folder, list a payload, extract one through the
// installer's own extraction code. Each prints one line naming the file for
// what stops it and returns the exit code.
#include "tools/quarn_commands.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "payload/archive_extractor.h"
#include "payload/payload_range.h"
#include "payload/quarn_format.h"
#include "platform/platform_native.h"
#include "tools/folder_packer.h"
#include "tools/install_target.h"
#include "tools/payload_output.h"
#include "tools/progress_display.h"
#include "tools/windows_names.h"

namespace {

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
    } else if (static_cast<uint64_t>(info.st_size) > kMaxPayloadBytes) {
        result = Fail(kExitBadArchive, path, "payload is over " + std::to_string(kMaxPayloadBytes) + " bytes");
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
    return {mapped.base, static_cast<int64_t>(mapped.size), progress, context};
}

void RemoveTemporaryAndDie(int signal)
{
    RemovePackTemporary();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Every signal that would end the pack removes its temporary payload first,
// then ends it as it would have. SIGXFSZ (a file-size limit) is ignored
// instead, so the write fails and the pack refuses with one line like any
// failed write. A signal ignored or handled when quarn starts (nohup's
// SIGHUP, a sanitizer's SIGSEGV) is left so. SIGKILL cannot be caught and
// leaves the temporary.
void RemoveTemporaryOnSignals()
{
    std::signal(SIGXFSZ, SIG_IGN);
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction now;
        const bool endsQuarn = signal != SIGKILL && signal != SIGSTOP && signal != SIGTSTP && signal != SIGTTIN &&
                               signal != SIGTTOU && signal != SIGCHLD && signal != SIGCONT && signal != SIGURG &&
                               signal != SIGWINCH;
        if (endsQuarn && sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_DFL)
            std::signal(signal, RemoveTemporaryAndDie);
    }
}

// A BodySink for listing: the bytes are not wanted.
int DropBlock(void*, const unsigned char*, int count)
{
    return count;
}

// context points at the payload's NameEncoding.
void PrintEntry(void* context, char kind, const std::string& size, const char* path)
{
    const NameEncoding encoding = *static_cast<const NameEncoding*>(context);
    std::printf("%c %8s %s\n", kind, size.c_str(), Printable(ShowName(path, encoding)).c_str());
}

const char* ListFolder(void* context, ArchiveExtractor*, const char* path)
{
    PrintEntry(context, 'd', "-", path);
    return nullptr;
}

const char* ListFile(void* context, ArchiveExtractor* x, int size, const char* path)
{
    PrintEntry(context, 'f', std::to_string(size), path);
    // A negative size walks nothing, so it fails here too.
    return WalkBody(x, size, DropBlock, nullptr) != size ? kStopExtractionError : nullptr;
}

// A HostNameConverter; context points at the payload's NameEncoding.
bool ToHostName(void* context, const char* name, std::string* hostName)
{
    return DecodeName(name, *static_cast<const NameEncoding*>(context), hostName);
}

}  // namespace

int PackCommand(const QuarnArgs& args)
{
    PackOptions options;
    options.level = args.level;
    options.threads = args.threads;
    options.encoding = args.encoding;
    PackError error;
    InstallTarget target;
    const InstallTarget& given = args.target;
    if (!CheckInstallTarget(given, args.encoding, &target, &error))
        return Fail(kExitUsage, error.path, error.text);
    if (!given.installDir.empty() || !given.exeName.empty() || !given.productName.empty())
        options.target = &target;

    RemoveTemporaryOnSignals();
    ProgressLine line = StartProgress();
    options.progress = ShowPackProgress;
    options.context = &line;
    bool packed = PackFolder(args.operands[0].c_str(), args.operands[1].c_str(), options, &error);
    ClearProgress(&line);
    if (!packed)
        return Fail(kExitUsage, error.path, error.text);
    return 0;
}

int ListCommand(const QuarnArgs& args)
{
    const std::string& payload = args.operands[0];
    MappedPayload mapped;
    if (int failed = MapPayload(payload.c_str(), &mapped))
        return failed;
    // The extractor's own walk, printing instead of writing, so it stops
    // where and why an install would.
    NameEncoding encoding = args.encoding;
    const char* stop = WalkPayloadRange(RangeOf(mapped, nullptr, nullptr), {ListFolder, ListFile, &encoding});
    std::fflush(stdout);
    if (stop != nullptr)
        return Fail(kExitBadArchive, payload, stop);
    return 0;
}

int ExtractCommand(const QuarnArgs& args)
{
    const std::string& payload = args.operands[0];
    const std::string& dir = args.operands[1];
    MappedPayload mapped;
    if (int failed = MapPayload(payload.c_str(), &mapped))
        return failed;

    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return Fail(kExitUsage, dir, std::strerror(errno));
    if (chdir(dir.c_str()) != 0)
        return Fail(kExitUsage, dir, std::strerror(errno));

    // The names land in UTF-8, the host's, as setup.exe gives Windows its own.
    NameEncoding encoding = args.encoding;
    SetHostNameConverter(ToHostName, &encoding);
    ProgressLine line = StartProgress();
    const char* stop = ExtractPayloadRange(RangeOf(mapped, ShowExtractProgress, &line));
    ClearProgress(&line);
    SetHostNameConverter(nullptr, nullptr);
    if (stop != nullptr)
        return Fail(kExitBadArchive, payload, stop);
    return 0;
}

