// Path helpers of the folder watcher: lexical normalisation and opening folders by paths of any
// length.
#pragma once

#include <fcntl.h>

#include <string>
#include <string_view>

#include "comrt/unique_fd.h"

namespace comrt::fswatch {

// An absolute path without empty or "." components and without a trailing slash ("/" stays "/").
// ".." is kept: the kernel resolves it.
std::string normalize_path(std::string_view absolute);
// The folder part of a normalised path: "/a/b" -> "/a", "/a" -> "/", "/" -> "".
std::string_view parent_of(std::string_view path) noexcept;
// The last component of a normalised path ("" for "/").
std::string_view name_of(std::string_view path) noexcept;
std::string join(std::string_view folder, std::string_view name);

// Opens the folder at `path` (normalised) with open(2) flags plus O_DIRECTORY | O_CLOEXEC. A path
// of PATH_MAX or more is opened piece by piece relative to descriptors of its ancestors. On
// failure the result is empty and errno says why.
unique_fd open_directory(std::string_view path, int flags = O_RDONLY);

// The name under which the kernel resolves an open descriptor, whatever the length of its path.
std::string descriptor_path(int fd);

}  // namespace comrt::fswatch
