// The folder packer: scans a tree into a list of entries, then writes them.
#include "tools/folder_packer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "tools/archive_writer.h"
#include "tools/install_target.h"
#include "tools/windows_names.h"

namespace {

struct PackEntry {
    bool folder;
    int depth;            // 0 for dir itself, 1 for its items, ...
    std::string name;     // on-disk name within its folder
    std::string source;   // path under dir, '/' separated; "" for dir itself
    std::string archive;  // "./..." in Windows-1252
    int64_t size;
};

struct FdCloser {
    int fd;
    explicit FdCloser(int opened) : fd(opened) {}
    FdCloser(FdCloser&& other) noexcept : fd(other.fd) { other.fd = -1; }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    FdCloser& operator=(FdCloser&&) = delete;
    ~FdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

// Bodies are read in pieces of this size, so progress moves within a file.
constexpr size_t kReadPiece = 64 * 1024;

struct WriterHolder {
    ArchiveWriter writer{};
    CompressedArchive compressed{};
    ~WriterHolder()
    {
        EndArchiveWriter(&writer);
        FreeCompressed(&compressed);
    }
};

// One pack: what PackFolder was given, the entries the scan found, and the
// writing under way.
struct PackRun {
    std::string dir;  // as given, less trailing slashes
    const char* payload;
    const PackOptions* options;
    PackError* error;
    // The folders along the entry at hand, open: folders[d] is the one at
    // depth d. Scanning and writing both walk the tree in entry order and
    // open each folder inside its parent, so trees deeper than the system's
    // path limit still pack.
    std::vector<FdCloser> folders;
    std::vector<PackEntry> entries;
    uint64_t totalBytes;  // of all file bodies
    PackStatus status;    // as last reported
    ArchiveWriter* writer;
    unsigned char* chunk;  // kReadPiece bytes for reading bodies
};

struct NamedItem {
    std::string name;     // on-disk bytes
    std::string archive;  // Windows-1252
    struct stat info;
};

}  // namespace

static std::string DiskPath(const PackRun& run, const std::string& source)
{
    return source.empty() ? run.dir : run.dir + "/" + source;
}

static bool Refuse(PackError* error, const std::string& path, const std::string& text)
{
    error->path = path;
    error->text = text;
    return false;
}

static bool RefuseErrno(PackError* error, const std::string& path)
{
    return Refuse(error, path, std::strerror(errno));
}

// Every writer result is checked here: a failure names the payload.
static bool WriterOk(PackRun* run, int result)
{
    return result == 0 || Refuse(run->error, run->payload, run->writer->errorText);
}

// ---------------------------------------------------------------------------
// Open folders

// Closes the folders below the parent of an entry at depth and returns the
// parent's descriptor.
static int ParentFolder(PackRun* run, int depth)
{
    while (run->folders.size() > static_cast<size_t>(depth))
        run->folders.pop_back();
    return run->folders.back().fd;
}

// Opens a folder entry inside its parent (dir itself for depth 0) and keeps
// it open as the folder at its depth.
static bool OpenFolder(PackRun* run, const PackEntry& entry)
{
    int fd;
    if (entry.depth == 0) {
        run->folders.clear();
        fd = open(run->dir.c_str(), O_RDONLY | O_DIRECTORY);
    } else {
        fd = openat(ParentFolder(run, entry.depth), entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    }
    run->folders.emplace_back(fd);
    return fd >= 0 || RefuseErrno(run->error, DiskPath(*run, entry.source));
}

// ---------------------------------------------------------------------------
// Scan

// Converts an item's name and says why the item cannot go into the archive,
// or null. archive is its folder's archive path.
static const char* CheckItem(NamedItem* item, const std::string& archive)
{
    if (S_ISLNK(item->info.st_mode))
        return "symbolic links cannot be packed";
    if (!S_ISREG(item->info.st_mode) && !S_ISDIR(item->info.st_mode))
        return "only plain files and folders can be packed";
    if (!Utf8ToCp1252(item->name, &item->archive))
        return "name is not UTF-8 or holds a character Windows-1252 lacks";
    if (const char* problem = WindowsNameProblem(item->archive))
        return problem;
    // "./" + path + LF
    if (archive.size() + 1 + item->archive.size() + 1 > static_cast<size_t>(kMaxArchiveLine))
        return "path is too long for the archive (4999 bytes a line)";
    if (S_ISREG(item->info.st_mode) && item->info.st_size > kMaxArchiveFileSize)
        return "file is over 2147483647 bytes";
    return nullptr;
}

// Reads the names in the innermost open folder, checks each and sorts them
// into files and folders.
static bool ReadFolder(PackRun* run, const std::string& here, const std::string& archive,
                       std::vector<NamedItem>* files, std::vector<NamedItem>* folders)
{
    const int folderFd = run->folders.back().fd;
    int listFd = dup(folderFd);
    std::unique_ptr<DIR, DirCloser> folder(listFd < 0 ? nullptr : fdopendir(listFd));
    if (!folder) {
        if (listFd >= 0)
            close(listFd);
        return RefuseErrno(run->error, here);
    }
    for (;;) {
        errno = 0;
        struct dirent* item = readdir(folder.get());
        if (item == nullptr)
            return errno == 0 || RefuseErrno(run->error, here);
        NamedItem named;
        named.name = item->d_name;
        if (named.name == "." || named.name == "..")
            continue;
        const std::string path = here + "/" + named.name;
        if (fstatat(folderFd, named.name.c_str(), &named.info, AT_SYMLINK_NOFOLLOW) != 0)
            return RefuseErrno(run->error, path);
        if (const char* problem = CheckItem(&named, archive))
            return Refuse(run->error, path, problem);
        (S_ISDIR(named.info.st_mode) ? folders : files)->push_back(named);
    }
}

static bool ByName(const NamedItem& a, const NamedItem& b)
{
    return std::strcmp(a.name.c_str(), b.name.c_str()) < 0;
}

static bool HasCaseTwins(const std::vector<NamedItem>& files, const std::vector<NamedItem>& folders)
{
    std::vector<std::string> folded;
    for (const auto* list : {&files, &folders}) {
        for (const NamedItem& item : *list)
            folded.push_back(FoldCase(item.archive));
    }
    std::sort(folded.begin(), folded.end());
    return std::adjacent_find(folded.begin(), folded.end()) != folded.end();
}

// Appends the entries of the folder open at depth: its files, then each
// subfolder with its contents.
static bool ScanFolder(PackRun* run, int depth, const std::string& source, const std::string& archive)
{
    const std::string here = DiskPath(*run, source);
    std::vector<NamedItem> files;
    std::vector<NamedItem> folders;
    if (!ReadFolder(run, here, archive, &files, &folders))
        return false;
    if (HasCaseTwins(files, folders))
        return Refuse(run->error, here, "two names differ only in case, which Windows treats as one");

    std::sort(files.begin(), files.end(), ByName);
    std::sort(folders.begin(), folders.end(), ByName);
    const std::string prefix = source.empty() ? "" : source + "/";
    for (const NamedItem& file : files) {
        run->entries.push_back(
            {false, depth + 1, file.name, prefix + file.name, archive + "/" + file.archive, file.info.st_size});
        run->totalBytes += static_cast<uint64_t>(file.info.st_size);
    }
    for (const NamedItem& sub : folders) {
        run->entries.push_back({true, depth + 1, sub.name, prefix + sub.name, archive + "/" + sub.archive, 0});
        const PackEntry entry = run->entries.back();  // a copy: the scan below grows the list
        if (!OpenFolder(run, entry) || !ScanFolder(run, depth + 1, entry.source, entry.archive))
            return false;
    }
    return true;
}

static bool ScanTree(PackRun* run)
{
    run->entries.push_back({true, 0, "", "", ".", 0});
    return OpenFolder(run, run->entries.back()) && ScanFolder(run, 0, "", ".");
}

// Every path fits under the install folder, and the executable is a file of
// the tree. Windows finds the executable whatever the case of its name.
static bool FitsTarget(PackRun* run)
{
    const InstallTarget* target = run->options->target;
    if (target == nullptr)
        return true;
    const std::string exe = FoldCase(ExeArchivePath(*target));
    bool exeFound = target->exeName.empty();
    for (const PackEntry& entry : run->entries) {
        if (entry.depth == 0)
            continue;
        const size_t limit = entry.folder ? kMaxInstalledFolderPath : kMaxInstalledFilePath;
        const size_t length = InstalledPathLength(*target, entry.archive);
        if (!target->installDir.empty() && length > limit)
            return Refuse(run->error, DiskPath(*run, entry.source),
                          "would be " + std::to_string(length) + " bytes under " + Cp1252ToUtf8(target->installDir) +
                              ", over the " + std::to_string(limit) + " Windows allows a " +
                              (entry.folder ? "folder" : "file"));
        if (!entry.folder && FoldCase(entry.archive) == exe)
            exeFound = true;
    }
    return exeFound || Refuse(run->error, Cp1252ToUtf8(target->exeName), "executable is not a file of the payload");
}

// ---------------------------------------------------------------------------
// Writing

// The temporary file of the pack in progress, for RemovePackTemporary,
// which may run in a signal handler and so only reads this fixed buffer.
static char g_tempPath[PATH_MAX];

void RemovePackTemporary()
{
    if (g_tempPath[0] != '\0')
        unlink(g_tempPath);
}

namespace {

// The temporary output file: removed unless it was renamed into place.
struct TempOutput {
    std::string path;
    FILE* file = nullptr;
    bool kept = false;
    ~TempOutput()
    {
        g_tempPath[0] = '\0';
        if (file != nullptr)
            fclose(file);
        if (!kept && !path.empty())
            unlink(path.c_str());
    }
};

}  // namespace

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

static bool CheckFolderAndPayload(const char* dir, const char* payload, PackError* error)
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

// Makes the temporary file beside the payload, with the mode a new file
// would get.
static bool OpenTemporary(PackRun* run, TempOutput* temp)
{
    temp->path = std::string(run->payload) + ".XXXXXX";
    if (temp->path.size() >= sizeof g_tempPath)
        return Refuse(run->error, run->payload, "path is too long");
    int fd = mkstemp(&temp->path[0]);
    if (fd < 0) {
        temp->path.clear();
        return RefuseErrno(run->error, run->payload);
    }
    std::memcpy(g_tempPath, temp->path.c_str(), temp->path.size() + 1);
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    temp->file = fdopen(fd, "wb");
    if (temp->file == nullptr) {
        close(fd);
        return RefuseErrno(run->error, run->payload);
    }
    return true;
}

static void Report(PackRun* run, PackStage stage, uint64_t done, uint64_t total)
{
    run->status.stage = stage;
    run->status.done = done;
    run->status.total = total;
    if (run->options->progress != nullptr)
        run->options->progress(run->options->context, run->status);
}

static void ReportCompressing(void* context, const DeflateProgress& progress)
{
    PackRun* run = static_cast<PackRun*>(context);
    run->status.chunksDone = progress.chunksDone;
    run->status.chunks = progress.chunks;
    run->status.threads = progress.threads;
    Report(run, PackStage::Compressing, progress.textDone, run->status.archiveBytes);
}

// Copies a file's body into the archive; it must still have the size the
// scan saw.
static bool WriteBody(PackRun* run, const PackEntry& entry)
{
    const std::string path = DiskPath(*run, entry.source);
    FdCloser input{openat(ParentFolder(run, entry.depth), entry.name.c_str(), O_RDONLY | O_NOFOLLOW)};
    if (input.fd < 0)
        return RefuseErrno(run->error, path);
    int64_t copied = 0;
    for (;;) {
        ssize_t got = read(input.fd, run->chunk, kReadPiece);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return RefuseErrno(run->error, path);
        }
        if (got == 0)
            break;
        copied += got;
        if (copied > entry.size)
            break;
        if (!WriterOk(run, WriteArchiveBytes(run->writer, run->chunk, static_cast<size_t>(got))))
            return false;
        Report(run, PackStage::Reading, run->status.done + static_cast<uint64_t>(got), run->totalBytes);
    }
    if (copied != entry.size)
        return Refuse(run->error, path, "file changed while it was being packed");
    return true;
}

static bool WriteEntry(PackRun* run, const PackEntry& entry)
{
    if (entry.folder)
        return OpenFolder(run, entry) && WriterOk(run, WriteFolderEntry(run->writer, entry.archive.c_str()));
    return WriterOk(run, WriteFileHeader(run->writer, entry.archive.c_str(), entry.size)) && WriteBody(run, entry);
}

// What the text and the compressed output will take, refused when that is
// more than the machine's memory.
static bool SizeUp(PackRun* run)
{
    uint64_t archive = 6;
    for (const PackEntry& entry : run->entries) {
        const char* path = entry.archive.c_str();
        archive += entry.folder ? FolderEntryBytes(path) : FileEntryBytes(path, entry.size);
    }
    run->status.archiveBytes = archive;
    run->status.memoryBytes = archive + CompressionMemory(archive, run->options->threads);
    const uint64_t physical = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
    if (run->status.memoryBytes > physical)
        return Refuse(run->error, run->dir,
                      "packing needs about " + std::to_string(run->status.memoryBytes >> 20) +
                          " MB of memory, more than this machine's " + std::to_string(physical >> 20) + " MB");
    return true;
}

// Builds the archive text and compresses it; the payload is refused, before
// anything is written, when it would be larger than the installer can hold.
static bool BuildPayload(PackRun* run, CompressedArchive* compressed)
{
    if (!WriterOk(run, StartArchive(run->writer, run->status.archiveBytes)))
        return false;
    for (const PackEntry& entry : run->entries) {
        if (!WriteEntry(run, entry))
            return false;
    }
    if (!WriterOk(run, CompressArchive(run->writer, run->options->level, ReportCompressing, run, compressed,
                                       run->options->threads)))
        return false;
    if (compressed->size > run->options->maxPayloadBytes)
        return Refuse(run->error, run->payload,
                      "payload would be " + std::to_string(compressed->size) + " bytes, over the " +
                          std::to_string(run->options->maxPayloadBytes) + " that setup.exe can hold");
    return true;
}

static bool CommitTemporary(PackRun* run, TempOutput* temp, const CompressedArchive& compressed)
{
    FILE* file = temp->file;
    temp->file = nullptr;
    const bool written = std::fwrite(compressed.bytes, 1, compressed.size, file) == compressed.size;
    if (std::fclose(file) != 0 || !written)
        return RefuseErrno(run->error, run->payload);
    if (rename(temp->path.c_str(), run->payload) != 0)
        return RefuseErrno(run->error, run->payload);
    temp->kept = true;
    Report(run, PackStage::Done, compressed.size, run->status.archiveBytes);
    return true;
}

bool PackFolder(const char* dir, const char* payload, const PackOptions& options, PackError* error)
{
    if (!CheckFolderAndPayload(dir, payload, error))
        return false;
    WriterHolder holder;
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kReadPiece]);
    PackRun run{dir, payload, &options, error, {}, {}, 0, {}, &holder.writer, chunk.get()};
    while (run.dir.size() > 1 && run.dir.back() == '/')
        run.dir.pop_back();
    if (!ScanTree(&run) || !FitsTarget(&run) || !SizeUp(&run))
        return false;
    TempOutput temp;
    return OpenTemporary(&run, &temp) && BuildPayload(&run, &holder.compressed) &&
           CommitTemporary(&run, &temp, holder.compressed);
}
