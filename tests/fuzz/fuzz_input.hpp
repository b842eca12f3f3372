#pragma once
// Fuzz inputs as files: the readers under test take open files, so each input
// is placed in an anonymous in-memory file.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/io.hpp"

namespace larkspan::fuzz {

inline io::File empty_file() {
    int fd = ::memfd_create("fuzz-input", 0);
    if (fd < 0) std::abort();
    return io::File(fd);
}

inline io::File file_with(const std::uint8_t* data, std::size_t size) {
    io::File file = empty_file();
    if (!file.write_all(data, size) || !file.seek(0)) std::abort();
    return file;
}

// The whole content of a file.
inline std::string content_of(io::File& file) {
    auto size = file.size();
    if (!size) std::abort();
    std::string content(*size, '\0');
    if (!file.pread_exact(content.data(), content.size(), 0)) std::abort();
    return content;
}

// A path naming the input, for readers that open by path.
inline std::string path_of(const io::File& file) {
    return "/proc/self/fd/" + std::to_string(file.fd());
}

}  // namespace larkspan::fuzz
