// The scan of a pack's tree: reads each folder inside its parent, checks
// every item and lists the entries in archive order.
#include "tools/folder_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "payload/quarn_format.h"

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

struct NamedItem {
    std::string name;     // on-disk bytes
    std::string archive;  // in the scan's encoding
    struct stat info;
};

}  // namespace

std::string DiskPath(const FolderScan& scan, const std::string& source)
{
    return source.empty() ? scan.dir : scan.dir + "/" + source;
}

int ParentFolder(FolderScan* scan, int depth)
{
    while (scan->folders.size() > static_cast<size_t>(depth))
        scan->folders.pop_back();
    return scan->folders.back().fd;
}

bool OpenFolder(FolderScan* scan, const PackEntry& entry, PackError* error)
{
    int fd;
    if (entry.depth == 0) {
        scan->folders.clear();
        fd = open(scan->dir.c_str(), O_RDONLY | O_DIRECTORY);
    } else {
        fd = openat(ParentFolder(scan, entry.depth), entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    }
    scan->folders.emplace_back(fd);
    return fd >= 0 || RefuseErrno(error, DiskPath(*scan, entry.source));
}

// Converts an item's name and says why the item cannot go into the archive,
// or "". archive is its folder's archive path.
static std::string CheckItem(NamedItem* item, const std::string& archive, NameEncoding encoding)
{
    if (S_ISLNK(item->info.st_mode))
        return "symbolic links cannot be packed";
    if (!S_ISREG(item->info.st_mode) && !S_ISDIR(item->info.st_mode))
        return "only plain files and folders can be packed";
    if (!EncodeName(item->name, encoding, &item->archive))
        return "name " + EncodingProblem(encoding);
    if (const char* problem = WindowsNameProblem(item->archive))
        return problem;
    // "./" + path + LF
    if (archive.size() + 1 + item->archive.size() + 1 > static_cast<size_t>(kQuarnMaxLine))
        return "path is too long for the archive (" + std::to_string(kQuarnMaxLine) + " bytes a line)";
    if (S_ISREG(item->info.st_mode) && item->info.st_size > kQuarnMaxSize)
        return "file is over " + std::to_string(kQuarnMaxSize) + " bytes";
    return "";
}

// Reads the names in the innermost open folder, checks each and sorts them
// into files and folders.
static bool ReadFolder(FolderScan* scan, const std::string& here, const std::string& archive,
                       std::vector<NamedItem>* files, std::vector<NamedItem>* folders, PackError* error)
{
    const int folderFd = scan->folders.back().fd;
    int listFd = dup(folderFd);
    std::unique_ptr<DIR, DirCloser> folder(listFd < 0 ? nullptr : fdopendir(listFd));
    if (!folder) {
        if (listFd >= 0)
            close(listFd);
        return RefuseErrno(error, here);
    }
    for (;;) {
        errno = 0;
        struct dirent* item = readdir(folder.get());
        if (item == nullptr)
            return errno == 0 || RefuseErrno(error, here);
        NamedItem named;
        named.name = item->d_name;
        if (named.name == "." || named.name == "..")
            continue;
        const std::string path = here + "/" + named.name;
        if (fstatat(folderFd, named.name.c_str(), &named.info, AT_SYMLINK_NOFOLLOW) != 0)
            return RefuseErrno(error, path);
        const std::string problem = CheckItem(&named, archive, scan->encoding);
        if (!problem.empty())
            return Refuse(error, path, problem);
        (S_ISDIR(named.info.st_mode) ? folders : files)->push_back(named);
    }
}

static bool ByName(const NamedItem& a, const NamedItem& b)
{
    return std::strcmp(a.name.c_str(), b.name.c_str()) < 0;
}

// True when name has the shape of a short name that Windows may give
// another item of the folder (ABCDEF~1.TXT, AB12~10): at most eight
// characters ending in '~' and digits, then at most a dot and three.
static bool HasShortNameShape(const std::string& name)
{
    const size_t dot = name.find('.');
    const size_t base = dot == std::string::npos ? name.size() : dot;
    size_t digits = 0;
    while (digits < base && name[base - 1 - digits] >= '0' && name[base - 1 - digits] <= '9')
        ++digits;
    if (digits == 0 || digits + 1 > base || name[base - 1 - digits] != '~')
        return false;
    // Characters, not bytes: a UTF-8 continuation byte starts none.
    auto characters = [&name](size_t from, size_t to) {
        size_t count = 0;
        for (size_t i = from; i < to; ++i)
            count += (static_cast<unsigned char>(name[i]) & 0xC0) != 0x80;
        return count;
    };
    if (characters(0, base) > 8)
        return false;
    return dot == std::string::npos ||
           (name.find('.', dot + 1) == std::string::npos && characters(dot + 1, name.size()) <= 3);
}

static bool HasCaseTwins(const std::vector<NamedItem>& files, const std::vector<NamedItem>& folders,
                         NameEncoding encoding)
{
    std::vector<std::string> folded;
    for (const auto* list : {&files, &folders}) {
        for (const NamedItem& item : *list)
            folded.push_back(FoldCase(item.archive, encoding));
    }
    std::sort(folded.begin(), folded.end());
    return std::adjacent_find(folded.begin(), folded.end()) != folded.end();
}

// Appends the entries of the folder open at depth: its files, then each
// subfolder with its contents; those with a short name's shape come first,
// so that no item made earlier already holds their name as its short name.
static bool ScanFolder(FolderScan* scan, int depth, const std::string& source, const std::string& archive,
                       PackError* error)
{
    const std::string here = DiskPath(*scan, source);
    std::vector<NamedItem> files;
    std::vector<NamedItem> folders;
    if (!ReadFolder(scan, here, archive, &files, &folders, error))
        return false;
    if (HasCaseTwins(files, folders, scan->encoding))
        return Refuse(error, here, "two names differ only in case, which Windows treats as one");

    std::sort(files.begin(), files.end(), ByName);
    std::sort(folders.begin(), folders.end(), ByName);
    const std::string prefix = source.empty() ? "" : source + "/";
    for (const bool shortShape : {true, false}) {
        for (const NamedItem& file : files) {
            if (HasShortNameShape(file.name) != shortShape)
                continue;
            scan->entries.push_back(
                {false, depth + 1, file.name, prefix + file.name, archive + "/" + file.archive, file.info.st_size});
            scan->totalBytes += static_cast<uint64_t>(file.info.st_size);
        }
        for (const NamedItem& sub : folders) {
            if (HasShortNameShape(sub.name) != shortShape)
                continue;
            scan->entries.push_back({true, depth + 1, sub.name, prefix + sub.name, archive + "/" + sub.archive, 0});
            const PackEntry entry = scan->entries.back();  // a copy: the scan below grows the list
            if (!OpenFolder(scan, entry, error) || !ScanFolder(scan, depth + 1, entry.source, entry.archive, error))
                return false;
        }
    }
    return true;
}

bool ScanTree(FolderScan* scan, PackError* error)
{
    if (!CanFoldCase(scan->encoding))
        return Refuse(error, scan->dir, "names in UTF-8 cannot be compared as Windows does without the C.UTF-8 locale");
    scan->entries.push_back({true, 0, "", "", ".", 0});
    return OpenFolder(scan, scan->entries.back(), error) && ScanFolder(scan, 0, "", ".", error);
}
