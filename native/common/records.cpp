#include "records.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace larkspan::io {

Result<RecordReader> RecordReader::create(const File& file, std::uint64_t offset,
                                          std::uint64_t record_size, std::uint64_t count,
                                          std::size_t window_bytes, std::uint64_t align) {
    if (record_size == 0 || align == 0) panic("records of 0 bytes cannot be read window by window");
    const std::uint64_t window_records =
        std::max<std::uint64_t>(align, window_bytes / record_size / align * align);
    // A window never holds more records than the file has.
    const std::uint64_t buffer_records = std::min(window_records, count);
    std::uint64_t buffer_size = 0;
    if (__builtin_mul_overflow(buffer_records, record_size, &buffer_size) || buffer_size > SIZE_MAX)
        return fail(Error{ErrorKind::Memory, "", 0});
    auto buffer = ByteBuffer::allocate(static_cast<std::size_t>(buffer_size));
    if (!buffer) return fail(buffer.error());
    return RecordReader(file.fd(), offset, record_size, count, window_records, std::move(*buffer));
}

std::uint64_t RecordReader::window_count() const {
    return count_ / window_records_ + (count_ % window_records_ != 0 ? 1 : 0);
}

Result<Window> RecordReader::read(std::uint64_t k) {
    Window window;
    window.first = k * window_records_;
    window.count = std::min(window_records_, count_ - window.first);
    window.record_size = record_size_;
    window.data = buffer_.data();
    // pread leaves the descriptor's position alone, so readers may share it.
    char* out = buffer_.data();
    std::size_t left = window.bytes();
    std::uint64_t at = offset_ + window.first * record_size_;
    while (left > 0) {
        const ssize_t n = ::pread(fd_, out, left, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(os_error(errno));
        if (n == 0) return fail(short_read_error());
        out += n;
        left -= static_cast<std::size_t>(n);
        at += static_cast<std::uint64_t>(n);
    }
    return window;
}

void RecordReader::prefetch(std::uint64_t k) const {
    const std::uint64_t first = k * window_records_;
    if (first >= count_) return;
    const std::uint64_t records = std::min(window_records_, count_ - first);
    // Only advice: a failure leaves the read to fetch the pages itself.
    (void)::posix_fadvise(fd_, static_cast<off_t>(offset_ + first * record_size_),
                          static_cast<off_t>(records * record_size_), POSIX_FADV_WILLNEED);
}

namespace {

FileStamp stamp_from(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::uint64_t>(info.st_size), static_cast<std::int64_t>(info.st_mtim.tv_sec),
            static_cast<std::int64_t>(info.st_mtim.tv_nsec)};
}

}  // namespace

Result<FileStamp> stamp_of(const File& file) {
    struct stat info {};
    if (::fstat(file.fd(), &info) != 0) return fail(os_error(errno));
    return stamp_from(info);
}

Result<FileStamp> stamp_of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return fail(os_error(errno));
    return stamp_from(info);
}

}  // namespace larkspan::io
