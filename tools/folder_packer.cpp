// The pack run: checks the scanned tree against the installer and the
// machine's memory, builds the archive text, compresses it and writes the
// payload.
#include "tools/folder_packer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "payload/quarn_format.h"
#include "tools/folder_scan.h"
#include "tools/install_target.h"
#include "tools/payload_output.h"

namespace {

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

// One pack: what PackFolder was given, the tree the scan found, and the
// writing under way.
struct PackRun {
    FolderScan tree;
    const char* payload;
    const PackOptions* options;
    PackError* error;
    PackStatus status;  // as last reported
    ArchiveWriter* writer;
    unsigned char* chunk;  // kReadPiece bytes for reading bodies
};

}  // namespace

// Every writer result is checked here: a failure names the payload.
static bool WriterOk(PackRun* run, int result)
{
    return result == 0 || Refuse(run->error, run->payload, run->writer->errorText);
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

// What the text and the compressed output will take, refused when that is
// more than the machine's memory.
static bool SizeUp(PackRun* run)
{
    uint64_t archive = kQuarnHeaderBytes;
    for (const PackEntry& entry : run->tree.entries) {
        const char* path = entry.archive.c_str();
        archive += entry.folder ? FolderEntryBytes(path) : FileEntryBytes(path, entry.size);
    }
    run->status.archiveBytes = archive;
    run->status.memoryBytes = archive + CompressionMemory(archive, run->options->threads);
    const uint64_t physical = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
    if (run->status.memoryBytes > physical)
        return Refuse(run->error, run->tree.dir,
                      "packing needs about " + std::to_string(run->status.memoryBytes >> 20) +
                          " MB of memory, more than this machine's " + std::to_string(physical >> 20) + " MB");
    return true;
}

// Copies a file's body into the archive; it must still have the size the
// scan saw.
static bool WriteBody(PackRun* run, const PackEntry& entry)
{
    const std::string path = DiskPath(run->tree, entry.source);
    FdCloser input{openat(ParentFolder(&run->tree, entry.depth), entry.name.c_str(), O_RDONLY | O_NOFOLLOW)};
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
        Report(run, PackStage::Reading, run->status.done + static_cast<uint64_t>(got), run->tree.totalBytes);
    }
    if (copied != entry.size)
        return Refuse(run->error, path, "file changed while it was being packed");
    return true;
}

static bool WriteEntry(PackRun* run, const PackEntry& entry)
{
    if (entry.folder)
        return OpenFolder(&run->tree, entry, run->error) &&
               WriterOk(run, WriteFolderEntry(run->writer, entry.archive.c_str()));
    return WriterOk(run, WriteFileHeader(run->writer, entry.archive.c_str(), entry.size)) && WriteBody(run, entry);
}

// Builds the archive text and compresses it; the payload is refused, before
// anything is written, when it would be larger than the installer can hold.
static bool BuildPayload(PackRun* run, CompressedArchive* compressed)
{
    if (!WriterOk(run, StartArchive(run->writer, run->status.archiveBytes)))
        return false;
    for (const PackEntry& entry : run->tree.entries) {
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

bool PackFolder(const char* dir, const char* payload, const PackOptions& options, PackError* error)
{
    if (!CheckFolderAndPayload(dir, payload, error))
        return false;
    WriterHolder holder;
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kReadPiece]);
    PackRun run{{}, payload, &options, error, {}, &holder.writer, chunk.get()};
    run.tree.dir = dir;
    run.tree.encoding = options.encoding;
    while (run.tree.dir.size() > 1 && run.tree.dir.back() == '/')
        run.tree.dir.pop_back();
    if (!ScanTree(&run.tree, error) || (options.target != nullptr && !TreeFitsTarget(*options.target, run.tree, error)) ||
        !SizeUp(&run))
        return false;
    PayloadOutput output;
    if (!OpenPayloadOutput(&output, payload, error) || !BuildPayload(&run, &holder.compressed) ||
        !CommitPayloadOutput(&output, holder.compressed.bytes, holder.compressed.size, error))
        return false;
    Report(&run, PackStage::Done, holder.compressed.size, run.status.archiveBytes);
    return true;
}
