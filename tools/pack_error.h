// Why a pack or a check of the installer's values refused: the one record
// every refusal of the packing library fills, and the helpers that fill it.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

// The path or value it concerns (as the user would type it, dir-relative
// paths prefixed with dir) and a one-line text.
struct PackError {
    std::string path;
    std::string text;
};

// Fills error and returns false, so that a check can end in one return.
inline bool Refuse(PackError* error, const std::string& path, const std::string& text)
{
    error->path = path;
    error->text = text;
    return false;
}

// Refuse with the text of the system's errno.
inline bool RefuseErrno(PackError* error, const std::string& path)
{
    return Refuse(error, path, std::strerror(errno));
}
