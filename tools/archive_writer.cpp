// Quarn archive writer and folder packer.
#include "tools/archive_writer.h"

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

// ---------------------------------------------------------------------------
// Streaming writer

static int FailWriter(ArchiveWriter* writer, const char* text)
{
    if (writer->errorText == nullptr)
        writer->errorText = text;
    return -1;
}

// Runs deflate with flush until it has consumed the input (and, for
// Z_FINISH, ended the stream), writing every full or final output buffer.
static int Deflate(ArchiveWriter* writer, int flush)
{
    z_stream& stream = writer->stream;
    for (;;) {
        stream.next_out = writer->outBuffer;
        stream.avail_out = kWriterBufferSize;
        int result = deflate(&stream, flush);
        if (result == Z_STREAM_ERROR)
            return FailWriter(writer, "deflate failed");
        size_t have = kWriterBufferSize - stream.avail_out;
        if (have > 0 && fwrite(writer->outBuffer, 1, have, writer->out) != have)
            return FailWriter(writer, "write error");
        writer->compressedBytes += have;
        if (flush == Z_FINISH ? result == Z_STREAM_END : stream.avail_out != 0)
            return 0;
    }
}

int StartArchive(ArchiveWriter* writer, FILE* out, int level)
{
    writer->out = out;
    writer->started = false;
    writer->errorText = nullptr;
    writer->compressedBytes = 0;
    writer->stream.zalloc = nullptr;
    writer->stream.zfree = nullptr;
    writer->stream.opaque = nullptr;
    writer->stream.state = nullptr;
    if (level < 0 || level > 9)
        return FailWriter(writer, "bad compression level");
    if (deflateInit(&writer->stream, level) != Z_OK)
        return FailWriter(writer, "deflater won't start");
    writer->started = true;
    return WriteArchiveBytes(writer, "Quarn\n", 6);
}

int WriteArchiveBytes(ArchiveWriter* writer, const void* data, size_t size)
{
    if (writer->errorText != nullptr)
        return -1;
    const unsigned char* next = static_cast<const unsigned char*>(data);
    while (size > 0) {
        uInt piece = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
        writer->stream.next_in = const_cast<unsigned char*>(next);
        writer->stream.avail_in = piece;
        if (Deflate(writer, Z_NO_FLUSH) != 0)
            return -1;
        next += piece;
        size -= piece;
    }
    return 0;
}

static int WriteLine(ArchiveWriter* writer, const std::string& text)
{
    std::string line = text + "\n";
    return WriteArchiveBytes(writer, line.data(), line.size());
}

int WriteFolderEntry(ArchiveWriter* writer, const char* path)
{
    if (WriteLine(writer, "d") != 0)
        return -1;
    return WriteLine(writer, path);
}

int WriteFileHeader(ArchiveWriter* writer, const char* path, int64_t size)
{
    if (WriteLine(writer, "f") != 0 || WriteLine(writer, std::to_string(size)) != 0)
        return -1;
    return WriteLine(writer, path);
}

int FinishArchive(ArchiveWriter* writer)
{
    if (writer->errorText != nullptr)
        return -1;
    writer->stream.next_in = nullptr;
    writer->stream.avail_in = 0;
    if (Deflate(writer, Z_FINISH) != 0)
        return -1;
    if (fflush(writer->out) != 0 || ferror(writer->out))
        return FailWriter(writer, "write error");
    return 0;
}

void EndArchiveWriter(ArchiveWriter* writer)
{
    if (writer->started)
        deflateEnd(&writer->stream);
    writer->started = false;
}

// ---------------------------------------------------------------------------
// Windows-1252 names

// Unicode code points of bytes 0x80..0x9F; 0 where the code page has none.
static const uint16_t kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
};

// The byte for a code point, or -1 when Windows-1252 has none.
static int Cp1252Byte(uint32_t codePoint)
{
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF))
        return static_cast<int>(codePoint);
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] != 0 && kCp1252High[i] == codePoint)
            return 0x80 + i;
    }
    return -1;
}

bool Utf8ToCp1252(const std::string& utf8, std::string* cp1252)
{
    std::string result;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const unsigned char* end = p + utf8.size();
    while (p < end) {
        uint32_t codePoint;
        int extra;
        uint32_t least;
        if (*p < 0x80) {
            codePoint = *p;
            extra = 0;
            least = 0;
        } else if ((*p & 0xE0) == 0xC0) {
            codePoint = *p & 0x1F;
            extra = 1;
            least = 0x80;
        } else if ((*p & 0xF0) == 0xE0) {
            codePoint = *p & 0x0F;
            extra = 2;
            least = 0x800;
        } else if ((*p & 0xF8) == 0xF0) {
            codePoint = *p & 0x07;
            extra = 3;
            least = 0x10000;
        } else {
            return false;
        }
        if (end - p <= extra)
            return false;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (p[i] & 0x3F);
        }
        if (codePoint < least || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        int byte = Cp1252Byte(codePoint);
        if (byte < 0)
            return false;
        result.push_back(static_cast<char>(byte));
        p += extra + 1;
    }
    *cp1252 = result;
    return true;
}

static void AppendUtf8(std::string* out, uint32_t codePoint)
{
    if (codePoint < 0x80) {
        out->push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

std::string Cp1252ToUtf8(const std::string& cp1252)
{
    std::string result;
    for (unsigned char byte : cp1252) {
        uint32_t codePoint = byte;
        if (byte >= 0x80 && byte <= 0x9F)
            codePoint = kCp1252High[byte - 0x80] != 0 ? kCp1252High[byte - 0x80] : '?';
        AppendUtf8(&result, codePoint);
    }
    return result;
}

// Why Windows could not hold this (already converted) name, or null. The
// installer hands names to the file system as they stand, so a name that
// Windows would change or read as a device must not get into an archive.
static const char* WindowsNameProblem(const std::string& name)
{
    for (unsigned char byte : name) {
        if (byte == '\n' || byte == '\r')
            return "name holds a line feed or carriage return";
        if (byte < 0x20)
            return "name holds a control character";
        if (std::strchr("\\:*?\"<>|", byte) != nullptr)
            return "name holds a character Windows does not allow (\\ : * ? \" < > |)";
    }
    if (name.back() == '.' || name.back() == ' ')
        return "name ends in a dot or space, which Windows drops";
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4", "COM5",
                                           "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5",
                                           "LPT6", "LPT7", "LPT8", "LPT9"};
    for (const char* device : kDevices) {
        if (stem == device)
            return "name is a Windows device name";
    }
    return nullptr;
}

// Upper-cases the letters of a Windows-1252 name, as Windows compares names.
static std::string FoldCase(const std::string& name)
{
    std::string folded = name;
    for (char& c : folded) {
        unsigned char byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7))
            byte = static_cast<unsigned char>(byte - 0x20);
        else if (byte == 0x9A || byte == 0x9C || byte == 0x9E)
            byte = static_cast<unsigned char>(byte - 0x10);
        else if (byte == 0xFF)
            byte = 0x9F;
        c = static_cast<char>(byte);
    }
    return folded;
}

// ---------------------------------------------------------------------------
// Folder scan

namespace {

struct PackEntry {
    bool folder;
    int depth;            // 0 for dir itself, 1 for its items, ...
    std::string name;     // on-disk name within its folder
    std::string source;   // path under dir, '/' separated; "" for dir itself
    std::string archive;  // "./..." in Windows-1252
    int64_t size;
};

struct ScanState {
    std::string dir;
    std::vector<PackEntry> entries;
    uint64_t totalBytes;
    PackError* error;
};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
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

struct NamedItem {
    std::string name;     // on-disk bytes
    std::string archive;  // Windows-1252
    struct stat info;
};

}  // namespace

static std::string DiskPath(const ScanState& scan, const std::string& source)
{
    return source.empty() ? scan.dir : scan.dir + "/" + source;
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

static bool ByName(const NamedItem& a, const NamedItem& b)
{
    return std::strcmp(a.name.c_str(), b.name.c_str()) < 0;
}

// Reads one folder's names, checks each, and appends its files, then each
// subfolder with its contents. Folders are opened relative to their parent,
// so trees deeper than the system's path limit still scan.
static bool ScanFolder(ScanState* scan, int folderFd, int depth, const std::string& source,
                       const std::string& archive)
{
    const std::string here = DiskPath(*scan, source);
    int listFd = dup(folderFd);
    std::unique_ptr<DIR, DirCloser> folder(listFd < 0 ? nullptr : fdopendir(listFd));
    if (!folder) {
        if (listFd >= 0)
            close(listFd);
        return RefuseErrno(scan->error, here);
    }

    std::vector<NamedItem> files;
    std::vector<NamedItem> folders;
    for (;;) {
        errno = 0;
        struct dirent* item = readdir(folder.get());
        if (item == nullptr) {
            if (errno != 0)
                return RefuseErrno(scan->error, here);
            break;
        }
        std::string name = item->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = here + "/" + name;
        NamedItem named;
        named.name = name;
        if (fstatat(folderFd, name.c_str(), &named.info, AT_SYMLINK_NOFOLLOW) != 0)
            return RefuseErrno(scan->error, path);
        if (S_ISLNK(named.info.st_mode))
            return Refuse(scan->error, path, "symbolic links cannot be packed");
        if (!S_ISREG(named.info.st_mode) && !S_ISDIR(named.info.st_mode))
            return Refuse(scan->error, path, "only plain files and folders can be packed");
        if (!Utf8ToCp1252(name, &named.archive))
            return Refuse(scan->error, path, "name is not UTF-8 or holds a character Windows-1252 lacks");
        if (const char* problem = WindowsNameProblem(named.archive))
            return Refuse(scan->error, path, problem);
        // "./" + path + LF
        if (archive.size() + 1 + named.archive.size() + 1 > static_cast<size_t>(kMaxArchiveLine))
            return Refuse(scan->error, path, "path is too long for the archive (4999 bytes a line)");
        if (S_ISREG(named.info.st_mode) && named.info.st_size > kMaxArchiveFileSize)
            return Refuse(scan->error, path, "file is over 2147483647 bytes");
        (S_ISDIR(named.info.st_mode) ? folders : files).push_back(named);
    }
    folder.reset();

    std::vector<std::string> folded;
    for (const auto* list : {&files, &folders}) {
        for (const NamedItem& item : *list)
            folded.push_back(FoldCase(item.archive));
    }
    std::sort(folded.begin(), folded.end());
    auto twin = std::adjacent_find(folded.begin(), folded.end());
    if (twin != folded.end())
        return Refuse(scan->error, here, "two names differ only in case, which Windows treats as one");

    std::sort(files.begin(), files.end(), ByName);
    std::sort(folders.begin(), folders.end(), ByName);
    const std::string prefix = source.empty() ? "" : source + "/";
    for (const NamedItem& file : files) {
        scan->entries.push_back(
            {false, depth + 1, file.name, prefix + file.name, archive + "/" + file.archive, file.info.st_size});
        scan->totalBytes += static_cast<uint64_t>(file.info.st_size);
    }
    for (const NamedItem& sub : folders) {
        const std::string subSource = prefix + sub.name;
        scan->entries.push_back({true, depth + 1, sub.name, subSource, archive + "/" + sub.archive, 0});
        FdCloser subFd{openat(folderFd, sub.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW)};
        if (subFd.fd < 0)
            return RefuseErrno(scan->error, DiskPath(*scan, subSource));
        if (!ScanFolder(scan, subFd.fd, depth + 1, subSource, archive + "/" + sub.archive))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Packing

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

struct WriterHolder {
    std::unique_ptr<ArchiveWriter> writer{new ArchiveWriter()};
    ~WriterHolder() { EndArchiveWriter(writer.get()); }
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

static bool WriteBody(ArchiveWriter* writer, int folderFd, const std::string& name, const std::string& path,
                      int64_t size, unsigned char* chunk, uint64_t* done, uint64_t total, PackProgress progress,
                      void* context, PackError* error)
{
    FdCloser input{openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW)};
    if (input.fd < 0)
        return RefuseErrno(error, path);
    int64_t copied = 0;
    for (;;) {
        ssize_t got = read(input.fd, chunk, kWriterBufferSize);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return RefuseErrno(error, path);
        }
        if (got == 0)
            break;
        copied += got;
        if (copied > size)
            break;
        if (WriteArchiveBytes(writer, chunk, static_cast<size_t>(got)) != 0)
            return false;
        *done += static_cast<uint64_t>(got);
        if (progress != nullptr)
            progress(context, *done, total);
    }
    if (copied != size)
        return Refuse(error, path, "file changed while it was being packed");
    return true;
}

bool PackFolder(const char* dir, const char* payload, int level, PackProgress progress, void* context,
                PackError* error)
{
    struct stat info;
    if (stat(dir, &info) != 0)
        return RefuseErrno(error, dir);
    if (!S_ISDIR(info.st_mode))
        return Refuse(error, dir, "not a folder");
    if (PayloadInsideDir(dir, payload))
        return Refuse(error, payload, "the payload must not be written inside the folder being packed");

    ScanState scan{dir, {}, 0, error};
    while (scan.dir.size() > 1 && scan.dir.back() == '/')
        scan.dir.pop_back();
    // folders[d] is the open folder at depth d along the entry being written.
    std::vector<FdCloser> folders;
    folders.emplace_back(open(dir, O_RDONLY | O_DIRECTORY));
    if (folders[0].fd < 0)
        return RefuseErrno(error, dir);
    scan.entries.push_back({true, 0, "", "", ".", 0});
    if (!ScanFolder(&scan, folders[0].fd, 0, "", "."))
        return false;

    TempOutput temp;
    temp.path = std::string(payload) + ".XXXXXX";
    if (temp.path.size() >= sizeof g_tempPath)
        return Refuse(error, payload, "path is too long");
    int fd = mkstemp(&temp.path[0]);
    if (fd < 0) {
        temp.path.clear();
        return RefuseErrno(error, payload);
    }
    std::memcpy(g_tempPath, temp.path.c_str(), temp.path.size() + 1);
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    temp.file = fdopen(fd, "wb");
    if (temp.file == nullptr) {
        close(fd);
        return RefuseErrno(error, payload);
    }

    WriterHolder holder;
    ArchiveWriter* writer = holder.writer.get();
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kWriterBufferSize]);
    uint64_t done = 0;
    StartArchive(writer, temp.file, level);
    for (const PackEntry& entry : scan.entries) {
        if (entry.folder) {
            if (entry.depth == 0) {
                WriteFolderEntry(writer, entry.archive.c_str());
                continue;
            }
            while (folders.size() > static_cast<size_t>(entry.depth))
                folders.pop_back();
            int sub = openat(folders.back().fd, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            folders.emplace_back(sub);
            if (sub < 0)
                return RefuseErrno(error, DiskPath(scan, entry.source));
            WriteFolderEntry(writer, entry.archive.c_str());
            continue;
        }
        if (WriteFileHeader(writer, entry.archive.c_str(), entry.size) != 0)
            break;
        while (folders.size() > static_cast<size_t>(entry.depth))
            folders.pop_back();
        if (!WriteBody(writer, folders.back().fd, entry.name, DiskPath(scan, entry.source), entry.size, chunk.get(),
                       &done, scan.totalBytes, progress, context, error))
            return writer->errorText != nullptr ? Refuse(error, payload, writer->errorText) : false;
        if (writer->compressedBytes > static_cast<uint64_t>(INT32_MAX))
            return Refuse(error, payload, "payload would be over 2147483647 bytes");
    }
    if (FinishArchive(writer) != 0)
        return Refuse(error, payload, writer->errorText);
    if (writer->compressedBytes > static_cast<uint64_t>(INT32_MAX))
        return Refuse(error, payload, "payload would be over 2147483647 bytes");
    FILE* file = temp.file;
    temp.file = nullptr;
    if (fclose(file) != 0)
        return RefuseErrno(error, payload);
    if (rename(temp.path.c_str(), payload) != 0)
        return RefuseErrno(error, payload);
    temp.kept = true;
    return true;
}
