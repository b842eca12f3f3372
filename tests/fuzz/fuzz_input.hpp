#pragma once
// Fuzz inputs as anonymous in-memory files: the readers under test take open
// files, or paths, which /proc/self/fd gives.

#include <sys/mman.h>

#include <cstdlib>
#include <string>

#include "common/io.hpp"

namespace larkspan::fuzz {

inline io::File file_with(const std::uint8_t* data = nullptr, std::size_t size = 0) {
    io::File file(::memfd_create("fuzz-input", 0));
    if (!file.is_open() || !file.write_all(data, size) || !file.seek(0)) std::abort();
    return file;
}

inline std::string content_of(io::File& file) {
    std::string content(file.size().value(), '\0');
    if (!file.pread_exact(content.data(), content.size(), 0)) std::abort();
    return content;
}

inline std::string path_of(const io::File& file) { return "/proc/self/fd/" + std::to_string(file.fd()); }

}  // namespace larkspan::fuzz
