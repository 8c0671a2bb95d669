// Puts a payload into setup.exe at build time, in the form its size needs.
//
//   attach_payload resource PAYLOAD OUT [--appended]
//       OUT becomes what the payload resource holds: the payload itself (a
//       hard link to it) up to kMaxResourcePayloadBytes, else, or with
//       --appended, the appended payload's record with the digest of each
//       window and the offset still unknown.
//   attach_payload append SETUP.EXE PAYLOAD RESOURCE
//       When RESOURCE is a record, writes the payload after SETUP.EXE's last
//       section and the offset into the record, refusing a payload that no
//       longer has the record's digests; otherwise does nothing.
//
// Neither holds the payload in memory. A refusal prints one line naming the
// file and leaves the output as it was; exit code 0, 1 on refusal, 2 on
// misuse.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "payload/appended_payload.h"
#include "tools/pack_error.h"

namespace {

// What the resource holds before the build knows where the payload goes: no
// real offset is this large.
constexpr uint64_t kOffsetUnknown = ~uint64_t{0};

constexpr size_t kPieceBytes = size_t{1} << 20;

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

// A file written beside its final path and renamed over it at the end.
struct Replacement {
    std::string target;
    std::string path;
    int fd = -1;
    bool kept = false;
    ~Replacement()
    {
        if (fd >= 0)
            close(fd);
        if (!path.empty() && !kept)
            unlink(path.c_str());
    }
};

bool StartReplacement(Replacement* out, const std::string& target, mode_t mode, PackError* error)
{
    out->target = target;
    std::string path = target + ".XXXXXX";
    out->fd = mkstemp(&path[0]);
    if (out->fd < 0)
        return RefuseErrno(error, target);
    out->path = path;
    fchmod(out->fd, mode);
    return true;
}

bool WriteAll(int fd, const unsigned char* bytes, size_t size)
{
    while (size > 0) {
        ssize_t wrote = write(fd, bytes, size);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        bytes += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

bool FinishReplacement(Replacement* out, PackError* error)
{
    int fd = out->fd;
    out->fd = -1;
    if (fsync(fd) != 0 || close(fd) != 0 || rename(out->path.c_str(), out->target.c_str()) != 0)
        return RefuseErrno(error, out->target);
    out->kept = true;
    return true;
}

// The SHA-256 digest of each window of a stream fed to it in pieces.
struct WindowDigests {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    uint64_t inWindow = 0;
    std::vector<unsigned char> digests;
    ~WindowDigests() { EVP_MD_CTX_free(context); }

    bool Add(const unsigned char* bytes, size_t size)
    {
        while (size > 0) {
            if (inWindow == 0 && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1)
                return false;
            const uint64_t room = kAppendedWindowBytes - inWindow;
            const size_t piece = size < room ? size : static_cast<size_t>(room);
            if (EVP_DigestUpdate(context, bytes, piece) != 1)
                return false;
            bytes += piece;
            size -= piece;
            inWindow += piece;
            if (inWindow == kAppendedWindowBytes && !Finish())
                return false;
        }
        return true;
    }

    // Ends the window at hand, if one was begun.
    bool Finish()
    {
        if (inWindow == 0)
            return true;
        unsigned char digest[kAppendedDigestBytes];
        if (EVP_DigestFinal_ex(context, digest, nullptr) != 1)
            return false;
        digests.insert(digests.end(), digest, digest + sizeof digest);
        inWindow = 0;
        return true;
    }
};

// Reads the size bytes of payload in pieces, handing each to digests and,
// when out is not negative, writing it there.
bool CopyPayload(const std::string& payload, uint64_t size, WindowDigests* digests, int out,
                 const std::string& outPath, PackError* error)
{
    Fd input;
    input.fd = open(payload.c_str(), O_RDONLY);
    if (input.fd < 0 || digests->context == nullptr)
        return RefuseErrno(error, payload);
    std::vector<unsigned char> piece(kPieceBytes);
    uint64_t copied = 0;
    for (;;) {
        ssize_t got = read(input.fd, piece.data(), piece.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return RefuseErrno(error, payload);
        if (got == 0)
            break;
        if (!digests->Add(piece.data(), static_cast<size_t>(got)))
            return Refuse(error, payload, "cannot be hashed");
        if (out >= 0 && !WriteAll(out, piece.data(), static_cast<size_t>(got)))
            return RefuseErrno(error, outPath);
        copied += static_cast<uint64_t>(got);
    }
    if (!digests->Finish())
        return Refuse(error, payload, "cannot be hashed");
    if (copied != size)
        return Refuse(error, payload, "changed while it was being attached");
    return true;
}

bool ReadFile(const std::string& path, std::vector<unsigned char>* bytes, PackError* error)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return RefuseErrno(error, path);
    unsigned char piece[65536];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0)
        bytes->insert(bytes->end(), piece, piece + got);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return !failed || RefuseErrno(error, path);
}

bool PayloadSize(const std::string& payload, uint64_t* size, PackError* error)
{
    struct stat info;
    if (stat(payload.c_str(), &info) != 0)
        return RefuseErrno(error, payload);
    if (!S_ISREG(info.st_mode) || info.st_size == 0)
        return Refuse(error, payload, "not a payload file");
    *size = static_cast<uint64_t>(info.st_size);
    if (*size > kMaxPayloadBytes)
        return Refuse(error, payload,
                      "payload is " + std::to_string(*size) + " bytes, over the " + std::to_string(kMaxPayloadBytes) +
                          " that setup.exe can carry");
    return true;
}

bool MakeResource(const std::string& payload, const std::string& out, bool appended, PackError* error)
{
    uint64_t size = 0;
    if (!PayloadSize(payload, &size, error))
        return false;
    Replacement replacement;
    if (!StartReplacement(&replacement, out, 0644, error))
        return false;
    if (!appended && size <= kMaxResourcePayloadBytes) {
        // A link, not a copy: the same bytes at no cost.
        unlink(replacement.path.c_str());
        if (link(payload.c_str(), replacement.path.c_str()) != 0)
            return RefuseErrno(error, out);
    } else {
        WindowDigests digests;
        if (!CopyPayload(payload, size, &digests, -1, out, error))
            return false;
        unsigned char header[kAppendedHeaderBytes];
        WriteAppendedHeader(kOffsetUnknown, size, header);
        if (!WriteAll(replacement.fd, header, sizeof header) ||
            !WriteAll(replacement.fd, digests.digests.data(), digests.digests.size()))
            return RefuseErrno(error, out);
    }
    return FinishReplacement(&replacement, error);
}

uint32_t Little(const std::vector<unsigned char>& bytes, size_t at, int count)
{
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[at + static_cast<size_t>(i)];
    return value;
}

// Where the last section's bytes end, or 0 when image is not a PE file.
uint64_t ImageEnd(const std::vector<unsigned char>& image)
{
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z')
        return 0;
    const size_t pe = Little(image, 0x3C, 4);
    if (pe > image.size() || image.size() - pe < 24 || std::memcmp(&image[pe], "PE\0\0", 4) != 0)
        return 0;
    const size_t sections = Little(image, pe + 6, 2);
    const size_t table = pe + 24 + Little(image, pe + 20, 2);
    if (table > image.size() || (image.size() - table) / 40 < sections)
        return 0;
    uint64_t end = 0;
    for (size_t i = 0; i < sections; ++i) {
        const size_t header = table + 40 * i;
        const uint64_t last = uint64_t{Little(image, header + 20, 4)} + Little(image, header + 16, 4);
        end = last > end ? last : end;
    }
    return end;
}

bool Append(const std::string& setup, const std::string& payload, const std::string& resource, PackError* error)
{
    std::vector<unsigned char> record;
    AppendedPayload appended;
    if (!ReadFile(resource, &record, error))
        return false;
    const RecordKind kind = ReadAppendedRecord(record.data(), record.size(), &appended);
    if (kind == RecordKind::kNone)
        return true;  // the payload is the resource itself
    uint64_t size = 0;
    if (!PayloadSize(payload, &size, error))
        return false;
    if (kind != RecordKind::kRecord || appended.offset != kOffsetUnknown || appended.length != size)
        return Refuse(error, resource, "is not the record made for " + payload);

    std::vector<unsigned char> image;
    if (!ReadFile(setup, &image, error))
        return false;
    std::vector<size_t> found;
    for (size_t at = 0; at + record.size() <= image.size(); ++at) {
        if (std::memcmp(&image[at], record.data(), record.size()) == 0)
            found.push_back(at);
    }
    if (found.size() != 1)
        return Refuse(error, setup, "does not hold the payload record once");
    const uint64_t end = ImageEnd(image);
    if (end != image.size())
        return Refuse(error, setup, end == 0 ? "not a Windows program" : "already carries data after its image");
    if (end + size > kFileLimit - kSignatureRoom)
        return Refuse(error, setup,
                      "would be " + std::to_string(end + size) + " bytes with its payload, over the " +
                          std::to_string(kFileLimit - kSignatureRoom) + " a signed Windows program may have");
    WriteAppendedHeader(end, size, &image[found[0]]);

    struct stat info;
    if (stat(setup.c_str(), &info) != 0)
        return RefuseErrno(error, setup);
    Replacement replacement;
    if (!StartReplacement(&replacement, setup, info.st_mode & 07777, error))
        return false;
    if (!WriteAll(replacement.fd, image.data(), image.size()))
        return RefuseErrno(error, setup);
    // The bytes written must be those the record vouches for.
    WindowDigests digests;
    if (!CopyPayload(payload, size, &digests, replacement.fd, setup, error))
        return false;
    if (std::memcmp(digests.digests.data(), appended.digests, digests.digests.size()) != 0)
        return Refuse(error, payload, "changed while it was being attached");
    return FinishReplacement(&replacement, error);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    PackError error;
    bool done;
    if (command == "resource" && (argc == 4 || (argc == 5 && std::strcmp(argv[4], "--appended") == 0))) {
        done = MakeResource(argv[2], argv[3], argc == 5, &error);
    } else if (command == "append" && argc == 5) {
        done = Append(argv[2], argv[3], argv[4], &error);
    } else {
        std::fprintf(stderr,
                     "usage: attach_payload resource PAYLOAD OUT [--appended]\n"
                     "       attach_payload append SETUP.EXE PAYLOAD RESOURCE\n");
        return 2;
    }
    if (!done) {
        std::fprintf(stderr, "attach_payload: %s: %s\n", error.path.c_str(), error.text.c_str());
        return 1;
    }
    return 0;
}
