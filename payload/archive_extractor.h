// The archive extractor: reads a Quarn archive (payload/quarn_format.h) out
// of the payload and makes its folders and files under the current directory.
#pragma once

#include <cstdio>

#include "payload/inflating_reader.h"
#include "payload/quarn_format.h"

constexpr int kBlockSize = 50000;

// Stop reasons.
extern const char kStopNoHeader[];          // "not a quarn file (1)"
extern const char kStopBadHeader[];         // "not a quarn file (2)"
extern const char kStopNoDirName[];         // "can't read dir name"
extern const char kStopNoFileSize[];        // "can't read file size"
extern const char kStopNoFileName[];        // "can't read file name"
extern const char kStopCantOpen[];          // "can't open file for writing"
extern const char kStopExtractionError[];   // "extraction error"
extern const char kStopUnrecognized[];      // "[unrecognized archive entry!]"
extern const char kStopUnsafePath[];        // "unsafe path in archive"
extern const char kStopNoMemory[];          // "out of memory"
extern const char kStopCancelled[];         // "cancelled"
extern const char kStopBadName[];           // "name not in the installer's code page"
extern const char kStopLinkInTheWay[];      // "link in the install folder"

struct ArchiveExtractor {
    InflatingReaderHolder reader;
    const char* error;  // the stop reason, null until a failure ends the run
    unsigned char block[kBlockSize];
    char line[kQuarnLineBuffer];
};

// Reads one line of at most count - 1 bytes (count at least 2) into buffer,
// dropping CR bytes, which still count toward the limit. Returns buffer when
// a line ending in LF, or a full count - 1 bytes, was read; null when the
// stream ended or failed first, leaving what was read of the line in buffer.
char* ReadLine(ArchiveExtractor* extractor, char* buffer, int count);

// Takes one block of a body; returns the count it took, or -1 when it failed.
using BodySink = int (*)(void* context, const unsigned char* block, int count);

// Inflates the next n bytes through the block buffer, handing each block to
// sink. Returns the count the sink took: n; fewer when the stream ended
// inside the body; 0 for n <= 0; -1 when the sink failed, the reader failed
// or a stop was requested.
int WalkBody(ArchiveExtractor* extractor, int n, BodySink sink, void* context);

// Inflates the next n bytes into file, through the block buffer. Returns n;
// fewer when the stream ended inside the body; 0 for n <= 0; -1 when the
// file reports an error, the reader failed or a stop was requested.
int CopyToFile(ArchiveExtractor* extractor, FILE* file, int n);

// True when the path is absolute (leading '/' or '\', a drive letter and
// colon) or has a ".." component; such paths are never used.
bool IsUnsafeArchivePath(const char* path);

// Reads the size line: optional white space and sign, then digits up to the
// first other byte. False when the value does not fit in 32 bits; a line
// without digits reads as 0.
bool ParseEntrySize(const char* line, int* size);

// What a walk through an archive does with each entry; each returns a stop
// reason, or null to go on. The path has been checked as safe ("." and ".."
// pass for folders); file must consume the size body bytes that follow.
struct ArchiveEntryHandler {
    const char* (*folder)(void* context, ArchiveExtractor* extractor, const char* path);
    const char* (*file)(void* context, ArchiveExtractor* extractor, int size, const char* path);
    void* context;
};

// Checks the header line, then reads entries up to the end of the archive
// or the first stop, handing each to handler. Returns the stop reason, null
// for the clean end of the stream between entries.
const char* WalkArchive(ArchiveExtractor* extractor, const ArchiveEntryHandler& handler);

// The extraction job: resets the payload's consumed count, unpacks the
// archive through ReadPayload and frees its reader, records its stop reason
// (see LastExtractStopReason), then sends WM_EXTRACT_DONE to the progress
// dialog when one is set. Always returns 0; argument is unused.
int ExtractArchive(void* argument);

// Walks the archive read through read(context) with a reader of its own,
// freed at the end. Returns the stop reason ("out of memory" when there is no
// reader), null after a clean end; records and sends nothing.
const char* WalkArchiveFrom(ReadCallback read, void* context, const ArchiveEntryHandler& handler);

// The walk that unpacks the archive into the current directory.
const char* ExtractArchiveFrom(ReadCallback read, void* context);

// The stop reason of the latest run, null after a clean end. It is set before
// WM_EXTRACT_DONE is sent, so the dialog can read it there.
const char* LastExtractStopReason();

// Asks a running extraction to stop at its next block or entry, with the stop
// reason "cancelled". ResetExtractStop clears the request for a new run.
void RequestExtractStop();
void ResetExtractStop();
