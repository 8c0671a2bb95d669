// Quarn archive extraction on the worker thread.
#include "payload/archive_extractor.h"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "payload/payload_view.h"
#include "payload/progress_window.h"
#include "platform/platform.h"

const char kStopNoHeader[] = "not a quarn file (1)";
const char kStopBadHeader[] = "not a quarn file (2)";
const char kStopNoDirName[] = "can't read dir name";
const char kStopNoFileSize[] = "can't read file size";
const char kStopNoFileName[] = "can't read file name";
const char kStopCantOpen[] = "can't open file for writing";
const char kStopExtractionError[] = "extraction error";
const char kStopUnrecognized[] = "[unrecognized archive entry!]";
const char kStopUnsafePath[] = "unsafe path in archive";
const char kStopNoMemory[] = "out of memory";
const char kStopCancelled[] = "cancelled";
const char kStopBadName[] = "name not in the installer's code page";
const char kStopLinkInTheWay[] = "link in the install folder";

namespace {
std::atomic<const char*> g_lastStopReason{nullptr};
std::atomic<bool> g_stopRequested{false};
}  // namespace

const char* LastExtractStopReason() { return g_lastStopReason.load(); }
void RequestExtractStop() { g_stopRequested.store(true); }
void ResetExtractStop() { g_stopRequested.store(false); }

char* ReadLine(ArchiveExtractor* extractor, char* buffer, int count)
{
    char* write = buffer;
    for (int taken = 0; taken < count - 1; ++taken) {
        if (InflateBytes(extractor->reader.get(), reinterpret_cast<unsigned char*>(write), 1) == 0) {
            *write = '\0';
            return nullptr;
        }
        if (*write == '\r')
            continue;
        if (*write == '\n') {
            write[1] = '\0';
            return buffer;
        }
        ++write;
    }
    *write = '\0';
    return buffer;
}

int WalkBody(ArchiveExtractor* extractor, int n, BodySink sink, void* context)
{
    if (n <= 0)
        return 0;
    InflatingReader* reader = extractor->reader.get();
    int total = 0;
    for (;;) {
        if (g_stopRequested.load())
            return -1;
        int chunk = n - total < kBlockSize ? n - total : kBlockSize;
        int produced = InflateBytes(reader, extractor->block, chunk);
        int taken = sink(context, extractor->block, produced);
        if (taken < 0)
            return -1;
        total += taken;
        if (reader->errorText != nullptr)
            return -1;
        if (reader->finished && total < n)
            return total;
        if (total >= n)
            return total;
    }
}

static int WriteBlock(void* context, const unsigned char* block, int count)
{
    FILE* file = static_cast<FILE*>(context);
    size_t written = fwrite(block, 1, static_cast<size_t>(count), file);
    return ferror(file) ? -1 : static_cast<int>(written);
}

int CopyToFile(ArchiveExtractor* extractor, FILE* file, int n)
{
    return WalkBody(extractor, n, WriteBlock, file);
}

bool IsUnsafeArchivePath(const char* path)
{
    if (path[0] == '/' || path[0] == '\\')
        return true;
    if (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':')
        return true;
    const char* component = path;
    for (const char* p = path;; ++p) {
        if (*p == '/' || *p == '\\' || *p == '\0') {
            if (p - component == 2 && component[0] == '.' && component[1] == '.')
                return true;
            if (*p == '\0')
                return false;
            component = p + 1;
        }
    }
}

bool ParseEntrySize(const char* line, int* size)
{
    const char* p = line;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1)
            return false;
    }
    if (negative)
        value = -value;
    if (value > kQuarnMaxSize || value < INT32_MIN)
        return false;
    *size = static_cast<int>(value);
    return true;
}

static void DropLineFeed(char* line)
{
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n')
        line[length - 1] = '\0';
}

static bool IsDotEntry(const char* path)
{
    return std::strcmp(path, ".") == 0 || std::strcmp(path, "..") == 0;
}

static const char* WalkFolderEntry(ArchiveExtractor* x, const ArchiveEntryHandler& handler)
{
    if (ReadLine(x, x->line, kQuarnLineBuffer) == nullptr)
        return kStopNoDirName;
    DropLineFeed(x->line);
    if (!IsDotEntry(x->line) && IsUnsafeArchivePath(x->line))
        return kStopUnsafePath;
    return handler.folder(handler.context, x, x->line);
}

static const char* WalkFileEntry(ArchiveExtractor* x, const ArchiveEntryHandler& handler)
{
    if (ReadLine(x, x->line, kQuarnLineBuffer) == nullptr)
        return kStopNoFileSize;
    int size = 0;
    if (!ParseEntrySize(x->line, &size))
        return kStopExtractionError;
    if (ReadLine(x, x->line, kQuarnLineBuffer) == nullptr)
        return kStopNoFileName;
    DropLineFeed(x->line);
    if (IsUnsafeArchivePath(x->line))
        return kStopUnsafePath;
    return handler.file(handler.context, x, size, x->line);
}

const char* WalkArchive(ArchiveExtractor* x, const ArchiveEntryHandler& handler)
{
    if (ReadLine(x, x->line, kQuarnLineBuffer) == nullptr)
        return kStopNoHeader;
    if (std::strncmp(x->line, kQuarnHeader, kQuarnHeaderBytes) != 0)
        return kStopBadHeader;

    for (;;) {
        if (g_stopRequested.load())
            return kStopCancelled;
        if (ReadLine(x, x->line, kQuarnLineBuffer) == nullptr) {
            // Only the clean end of the stream, between entries, is the end
            // of the archive; a damaged stream or a cut line is not.
            if (x->reader->errorText != nullptr)
                return x->reader->errorText;
            return x->line[0] == '\0' ? nullptr : kStopUnrecognized;
        }
        const char* stop;
        if (std::strcmp(x->line, kQuarnFolderTag) == 0)
            stop = WalkFolderEntry(x, handler);
        else if (std::strcmp(x->line, kQuarnFileTag) == 0)
            stop = WalkFileEntry(x, handler);
        else
            stop = kStopUnrecognized;
        if (stop != nullptr)
            return stop;
    }
}

// The stop reason for a file-system result that ends the run, or null.
static const char* PlatformStop(int result)
{
    if (result == kPlatformBadName)
        return kStopBadName;
    if (result == kPlatformLinkInTheWay)
        return kStopLinkInTheWay;
    return nullptr;
}

static const char* MakeFolderEntry(void*, ArchiveExtractor*, const char* path)
{
    // "." and ".." are skipped. An existing folder is fine; one that cannot
    // be made shows up when a file inside it cannot be opened.
    if (IsDotEntry(path))
        return nullptr;
    return PlatformStop(CreateOneFolder(path));
}

static const char* WriteFileEntry(void*, ArchiveExtractor* x, int size, const char* path)
{
    int created = kPlatformFailed;
    FILE* file = CreateNewFile(path, &created);
    if (file == nullptr) {
        const char* stop = PlatformStop(created);
        return stop != nullptr ? stop : kStopCantOpen;
    }
    int copied = CopyToFile(x, file, size);
    int closed = std::fclose(file);
    if (copied != size || closed != 0)
        return g_stopRequested.load() ? kStopCancelled : kStopExtractionError;
    return nullptr;
}

const char* WalkArchiveFrom(ReadCallback read, void* context, const ArchiveEntryHandler& handler)
{
    // About 55 KB, well within a thread's default 1 MB stack.
    ArchiveExtractor extractor;
    extractor.reader.reset(CreateInflatingReader(read, context));
    extractor.error = extractor.reader ? WalkArchive(&extractor, handler) : kStopNoMemory;
    return extractor.error;
}

const char* ExtractArchiveFrom(ReadCallback read, void* context)
{
    return WalkArchiveFrom(read, context, {MakeFolderEntry, WriteFileEntry, nullptr});
}

int ExtractArchive(void* argument)
{
    (void)argument;
    g_payloadView.consumed = 0;
    const char* stopReason = ExtractArchiveFrom(ReadPayload, nullptr);
    g_lastStopReason.store(stopReason);
    WindowHandle dialog = g_progressDialog.load();
    if (dialog != nullptr)
        SendWindowMessage(dialog, WM_EXTRACT_DONE, 0, 0);
    return 0;
}
