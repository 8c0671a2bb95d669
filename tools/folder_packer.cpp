// The pack run: checks the scanned tree against the installer and the
// machine's memory, then reads it into the archive text, which the chunked
// compressor takes as it comes and hands on to the payload file.
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

struct StreamHolder {
    DeflateStream* stream = nullptr;
    ~StreamHolder() { EndDeflateStream(stream); }
};

// One pack: what PackFolder was given, the tree the scan found, and the
// writing under way.
struct PackRun {
    FolderScan tree;
    const char* payload;
    const PackOptions* options;
    PackError* error;
    PackStatus status;  // as last reported
    ArchiveWriter writer;
    PayloadOutput* output;
    uint64_t written;      // payload bytes
    bool outputRefused;    // error says why
    unsigned char* piece;  // kReadPiece bytes for reading bodies
};

}  // namespace

// False, with the error the payload's file gave, or else the stream's.
static bool StreamFailed(PackRun* run, const char* failure)
{
    return !run->outputRefused ? Refuse(run->error, run->payload, failure) : false;
}

// Every writer result is checked here: a failure names the payload.
static bool WriterOk(PackRun* run, int result)
{
    return result == 0 || StreamFailed(run, run->writer.errorText);
}

static bool RefuseOverLimit(PackRun* run)
{
    return Refuse(run->error, run->payload,
                  "payload would be over the " + std::to_string(run->options->maxPayloadBytes) +
                      " bytes that setup.exe can hold");
}

// The stream's sink: the payload stops as soon as it grows over the limit.
static bool WriteStreamBytes(void* context, const unsigned char* bytes, size_t size)
{
    PackRun* run = static_cast<PackRun*>(context);
    run->written += size;
    const bool fits = run->written <= run->options->maxPayloadBytes;
    run->outputRefused = !fits || !WritePayloadOutput(run->output, bytes, size, run->error);
    if (!fits)
        RefuseOverLimit(run);
    return !run->outputRefused;
}

static void Report(PackRun* run, PackStage stage, uint64_t done, uint64_t total)
{
    run->status.stage = stage;
    run->status.done = done;
    run->status.total = total;
    if (run->options->progress != nullptr)
        run->options->progress(run->options->context, run->status);
}

// A chunk reached the payload.
static void ReportChunk(void* context, const DeflateProgress& progress)
{
    PackRun* run = static_cast<PackRun*>(context);
    run->status.chunksDone = progress.chunksDone;
    run->status.threads = progress.threads;
    Report(run, PackStage::Packing, run->status.done, run->status.total);
}

// The archive's size and what the stream will hold, refused when that is
// more than the machine's memory; at level 0 the payload's size is known,
// and refused over the limit.
static bool SizeUp(PackRun* run)
{
    uint64_t archive = kQuarnHeaderBytes;
    for (const PackEntry& entry : run->tree.entries) {
        const char* path = entry.archive.c_str();
        archive += entry.folder ? FolderEntryBytes(path) : FileEntryBytes(path, entry.size);
    }
    PackStatus& status = run->status;
    status.archiveBytes = archive;
    status.total = run->tree.totalBytes;
    status.chunks = DeflateChunks(archive, kDeflateChunkBytes);
    status.threads = DeflateThreads(run->options->threads, archive, kDeflateChunkBytes);
    status.memoryBytes = DeflateStreamMemory(status.threads, kDeflateChunkBytes);
    const uint64_t physical = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
    if (status.memoryBytes > physical)
        return Refuse(run->error, run->tree.dir,
                      "packing needs about " + std::to_string(status.memoryBytes >> 20) +
                          " MB of memory, more than this machine's " + std::to_string(physical >> 20) + " MB");
    if (run->options->level == 0 && StoredStreamBytes(archive, kDeflateChunkBytes) > run->options->maxPayloadBytes)
        return RefuseOverLimit(run);
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
        ssize_t got = read(input.fd, run->piece, kReadPiece);
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
        if (!WriterOk(run, WriteArchiveBytes(&run->writer, run->piece, static_cast<size_t>(got))))
            return false;
        Report(run, PackStage::Packing, run->status.done + static_cast<uint64_t>(got), run->status.total);
    }
    if (copied != entry.size)
        return Refuse(run->error, path, "file changed while it was being packed");
    return true;
}

static bool WriteEntry(PackRun* run, const PackEntry& entry)
{
    if (entry.folder)
        return OpenFolder(&run->tree, entry, run->error) &&
               WriterOk(run, WriteFolderEntry(&run->writer, entry.archive.c_str()));
    return WriterOk(run, WriteFileHeader(&run->writer, entry.archive.c_str(), entry.size)) && WriteBody(run, entry);
}

// Reads the tree into the stream and ends the stream.
static bool WritePayload(PackRun* run)
{
    StreamHolder holder;
    const DeflateStreamJob job{run->options->level, run->status.threads, kDeflateChunkBytes, ReportChunk, run,
                               WriteStreamBytes, run, nullptr};
    const char* failure = StartDeflateStream(job, &holder.stream);
    if (failure == nullptr && StartStreamedArchive(&run->writer, holder.stream) != 0)
        failure = run->writer.errorText;
    for (size_t i = 0; failure == nullptr && i < run->tree.entries.size(); ++i) {
        if (!WriteEntry(run, run->tree.entries[i]))
            return false;
    }
    if (failure == nullptr)
        failure = FinishDeflateStream(holder.stream);
    return failure == nullptr || StreamFailed(run, failure);
}

bool PackFolder(const char* dir, const char* payload, const PackOptions& options, PackError* error)
{
    if (!CheckFolderAndPayload(dir, payload, error))
        return false;
    std::unique_ptr<unsigned char[]> piece(new unsigned char[kReadPiece]);
    PayloadOutput output;
    PackRun run{{}, payload, &options, error, {}, {}, &output, 0, false, piece.get()};
    run.tree.dir = dir;
    run.tree.encoding = options.encoding;
    while (run.tree.dir.size() > 1 && run.tree.dir.back() == '/')
        run.tree.dir.pop_back();
    if (!ScanTree(&run.tree, error) || (options.target != nullptr && !TreeFitsTarget(*options.target, run.tree, error)) ||
        !SizeUp(&run))
        return false;
    if (!OpenPayloadOutput(&output, payload, error) || !WritePayload(&run) || !CommitPayloadOutput(&output, error))
        return false;
    Report(&run, PackStage::Done, run.written, run.status.archiveBytes);
    return true;
}
