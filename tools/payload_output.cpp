// Writing the payload through a temporary file beside it.
#include "tools/payload_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

// The temporary file of the pack in progress, for RemovePackTemporary,
// which may run in a signal handler and so only reads this fixed buffer.
static char g_tempPath[PATH_MAX];

void RemovePackTemporary()
{
    if (g_tempPath[0] != '\0')
        unlink(g_tempPath);
}

PayloadOutput::~PayloadOutput()
{
    if (file != nullptr)
        fclose(file);
    if (!kept && !path.empty())
        unlink(path.c_str());
    g_tempPath[0] = '\0';
}

static bool PayloadInsideDir(const char* dir, const char* payload)
{
    std::unique_ptr<char, decltype(&free)> dirReal(realpath(dir, nullptr), free);
    std::string parent = payload;
    size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
    std::unique_ptr<char, decltype(&free)> parentReal(realpath(parent.c_str(), nullptr), free);
    if (!dirReal || !parentReal)
        return false;
    std::string root = dirReal.get();
    std::string where = parentReal.get();
    return where == root || where.compare(0, root.size() + 1, root + "/") == 0 || root == "/";
}

bool CheckFolderAndPayload(const char* dir, const char* payload, PackError* error)
{
    struct stat info;
    if (stat(dir, &info) != 0)
        return RefuseErrno(error, dir);
    if (!S_ISDIR(info.st_mode))
        return Refuse(error, dir, "not a folder");
    if (PayloadInsideDir(dir, payload))
        return Refuse(error, payload, "the payload must not be written inside the folder being packed");
    return true;
}

bool OpenPayloadOutput(PayloadOutput* output, const char* payload, PackError* error)
{
    output->payload = payload;
    output->path = std::string(payload) + ".XXXXXX";
    if (output->path.size() >= sizeof g_tempPath)
        return Refuse(error, payload, "path is too long");
    // A signal that comes between making the file and noting its path for
    // RemovePackTemporary waits until both are done.
    sigset_t every;
    sigset_t before;
    sigfillset(&every);
    sigprocmask(SIG_BLOCK, &every, &before);
    int fd = mkstemp(&output->path[0]);
    if (fd >= 0)
        std::memcpy(g_tempPath, output->path.c_str(), output->path.size() + 1);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) {
        output->path.clear();
        return RefuseErrno(error, payload);
    }
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    output->file = fdopen(fd, "wb");
    if (output->file == nullptr) {
        close(fd);
        return RefuseErrno(error, payload);
    }
    return true;
}

bool WritePayloadOutput(PayloadOutput* output, const unsigned char* bytes, size_t size, PackError* error)
{
    return std::fwrite(bytes, 1, size, output->file) == size || RefuseErrno(error, output->payload);
}

bool CommitPayloadOutput(PayloadOutput* output, PackError* error)
{
    FILE* file = output->file;
    output->file = nullptr;
    // On disk before it takes the payload's name, so that a crash of the
    // machine leaves the old payload or the whole new one.
    if (std::fflush(file) != 0 || fsync(fileno(file)) != 0) {
        RefuseErrno(error, output->payload);
        std::fclose(file);
        return false;
    }
    if (std::fclose(file) != 0)
        return RefuseErrno(error, output->payload);
    if (rename(output->path.c_str(), output->payload) != 0)
        return RefuseErrno(error, output->payload);
    output->kept = true;
    return true;
}
