// Writing Quarn archives: a streaming writer that deflates entries into one
// zlib stream, and PackFolder, which turns a folder tree into a payload file
// the installer can carry. Used by the quarn tool and by tests that build
// archives of their own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <zlib.h>

constexpr int kWriterBufferSize = 64 * 1024;
// A line counts its LF; "./" + path + LF must fit the reader's line buffer.
constexpr int kMaxArchiveLine = 4999;
constexpr int64_t kMaxArchiveFileSize = INT32_MAX;

// One zlib stream being written to a FILE. Every call after a failure does
// nothing and fails again; errorText says what went wrong first.
struct ArchiveWriter {
    FILE* out;
    z_stream stream;
    bool started;           // deflateInit succeeded
    const char* errorText;  // null, or a constant text
    uint64_t compressedBytes;
    unsigned char outBuffer[kWriterBufferSize];
};

// Starts a zlib stream at level (0..9) on out and writes the header line.
// Returns 0, or -1 with errorText set ("bad compression level",
// "deflater won't start", "write error").
int StartArchive(ArchiveWriter* writer, FILE* out, int level);

// Deflates raw archive bytes. 0, or -1 ("write error", "deflate failed").
int WriteArchiveBytes(ArchiveWriter* writer, const void* data, size_t size);

// "d" LF path LF; path is written as given (the caller adds "./").
int WriteFolderEntry(ArchiveWriter* writer, const char* path);

// "f" LF size LF path LF; the caller then writes exactly size body bytes.
int WriteFileHeader(ArchiveWriter* writer, const char* path, int64_t size);

// Ends the zlib stream (Adler-32 trailer) and flushes out. 0 or -1.
int FinishArchive(ArchiveWriter* writer);

// Frees the deflater whatever the state; safe on a writer never started.
void EndArchiveWriter(ArchiveWriter* writer);

// Converts a UTF-8 name to Windows-1252. False when the bytes are not valid
// UTF-8 (overlong forms and surrogates included) or a character has no
// Windows-1252 byte.
bool Utf8ToCp1252(const std::string& utf8, std::string* cp1252);

// The other way, for showing archive names; the five bytes Windows-1252
// leaves undefined become '?'.
std::string Cp1252ToUtf8(const std::string& cp1252);

// Why a pack was refused or failed: the path it concerns (as the user would
// type it, dir-relative paths prefixed with dir) and a one-line text.
struct PackError {
    std::string path;
    std::string text;
};

// Called with bytes of file bodies done so far and their total.
using PackProgress = void (*)(void* context, uint64_t done, uint64_t total);

// Packs the tree under dir into payload as one zlib stream at level.
// Entry order: "." first; in each folder its files, then its subfolders,
// each sorted by strcmp of the on-disk name bytes; a subfolder's "d" entry
// comes right before its contents. The same tree always gives the same bytes.
// Everything is checked before anything is written, and output goes to a
// temporary file beside payload that is renamed over it only at the end, so
// a refusal or failure leaves no file behind. Returns true, or false with
// error filled in.
bool PackFolder(const char* dir, const char* payload, int level, PackProgress progress, void* context,
                PackError* error);

// Removes the temporary file of a pack in progress, if any; safe to call
// from a signal handler.
void RemovePackTemporary();
