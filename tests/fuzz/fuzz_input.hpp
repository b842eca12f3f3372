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

inline io::File file_with(const std::uint8_t* data, std::size_t size) {
    int fd = ::memfd_create("fuzz-input", 0);
    if (fd < 0) std::abort();
    io::File file(fd);
    if (!file.write_all(data, size) || !file.seek(0)) std::abort();
    return file;
}

// A path naming the input, for readers that open by path.
inline std::string path_of(const io::File& file) {
    return "/proc/self/fd/" + std::to_string(file.fd());
}

}  // namespace larkspan::fuzz
