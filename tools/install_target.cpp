// Build-time checks of the installer's configuration.
#include "tools/install_target.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "tools/folder_scan.h"
#include "tools/windows_names.h"

namespace {

std::vector<std::string> SplitAtBackslashes(const std::string& path)
{
    std::vector<std::string> parts(1);
    for (char c : path) {
        if (c == '\\')
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    return parts;
}

// Why one folder or file name of a value cannot be used, or null. '/' is
// refused too: these values are written with '\' between folders.
const char* ComponentProblem(const std::string& name)
{
    if (name.empty())
        return "has an empty name between backslashes";
    if (name == "." || name == "..")
        return "has a . or .. folder";
    if (name.find('/') != std::string::npos)
        return "holds '/'; write '\\' between folders";
    return WindowsNameProblem(name);
}

bool CheckComponents(const std::string& given, const std::vector<std::string>& names, const char* what,
                     PackError* error)
{
    for (const std::string& name : names) {
        const char* problem = ComponentProblem(name);
        if (problem == nullptr)
            continue;
        // "name holds ..." reads as "<what> holds ...".
        if (std::strncmp(problem, "name ", 5) == 0)
            problem += 5;
        return Refuse(error, given, std::string(what) + " " + problem);
    }
    return true;
}

bool CheckProductName(const std::string& given, const std::string& name, PackError* error)
{
    const size_t units = Utf16Units(given, NameEncoding::kUtf8);
    if (units > kMaxProductName)
        return Refuse(error, given,
                      "product name is " + std::to_string(units) + " UTF-16 units, over the " +
                          std::to_string(kMaxProductName) + " its Start-menu link has room for");
    return CheckComponents(given, {name}, "product name", error);
}

bool CheckInstallDir(const std::string& given, const std::string& dir, PackError* error)
{
    if (dir.size() < 4 || !std::isalpha(static_cast<unsigned char>(dir[0])) || dir[1] != ':' || dir[2] != '\\')
        return Refuse(error, given, "install folder is not an absolute path with a drive letter (X:\\...)");
    if (dir.back() == '\\')
        return Refuse(error, given, "install folder ends with a backslash");
    const size_t units = Utf16Units(given, NameEncoding::kUtf8);
    if (units > kMaxInstalledFolderPath)
        return Refuse(error, given,
                      "install folder is " + std::to_string(units) + " UTF-16 units, over the " +
                          std::to_string(kMaxInstalledFolderPath) + " Windows allows a folder");
    return CheckComponents(given, SplitAtBackslashes(dir.substr(3)), "install folder", error);
}

bool CheckExeName(const std::string& given, const std::string& name, PackError* error)
{
    if (name[0] == '\\' || (name.size() > 1 && name[1] == ':'))
        return Refuse(error, given, "executable name is not a path inside the payload, from its top");
    return CheckComponents(given, SplitAtBackslashes(name), "executable name", error);
}

// The length in UTF-16 units of the full Windows path that the archive path
// "./..." gets under the install folder.
size_t InstalledPathLength(const InstallTarget& checked, const std::string& archivePath, NameEncoding encoding)
{
    // "./" becomes the install folder and a backslash.
    return Utf16Units(checked.installDir, encoding) + 1 + Utf16Units(archivePath, encoding) - 2;
}

// The archive path ("./..." with '/') of the executable.
std::string ExeArchivePath(const InstallTarget& checked)
{
    std::string path = "./" + checked.exeName;
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    return path;
}

}  // namespace

bool CheckInstallTarget(const InstallTarget& given, NameEncoding encoding, InstallTarget* checked, PackError* error)
{
    struct Value {
        const std::string& given;
        std::string* checked;
        const char* what;
        bool (*check)(const std::string&, const std::string&, PackError*);
    };
    const Value values[] = {
        {given.productName, &checked->productName, "product name", CheckProductName},
        {given.installDir, &checked->installDir, "install folder", CheckInstallDir},
        {given.exeName, &checked->exeName, "executable name", CheckExeName},
    };
    for (const Value& value : values) {
        value.checked->clear();
        if (value.given.empty())
            continue;
        if (!EncodeName(value.given, encoding, value.checked))
            return Refuse(error, value.given, std::string(value.what) + " " + EncodingProblem(encoding));
        if (!value.check(value.given, *value.checked, error))
            return false;
    }
    return true;
}

bool TreeFitsTarget(const InstallTarget& checked, const FolderScan& tree, PackError* error)
{
    const NameEncoding encoding = tree.encoding;
    const std::string exe = FoldCase(ExeArchivePath(checked), encoding);
    bool exeFound = checked.exeName.empty();
    for (const PackEntry& entry : tree.entries) {
        if (entry.depth == 0)
            continue;
        const size_t limit = entry.folder ? kMaxInstalledFolderPath : kMaxInstalledFilePath;
        const size_t length = InstalledPathLength(checked, entry.archive, encoding);
        if (!checked.installDir.empty() && length > limit)
            return Refuse(error, DiskPath(tree, entry.source),
                          "would be " + std::to_string(length) + " UTF-16 units under " +
                              ShowName(checked.installDir, encoding) +
                              ", over the " + std::to_string(limit) + " Windows allows a " +
                              (entry.folder ? "folder" : "file"));
        if (!entry.folder && FoldCase(entry.archive, encoding) == exe)
            exeFound = true;
    }
    return exeFound || Refuse(error, ShowName(checked.exeName, encoding), "executable is not a file of the payload");
}
