#include "records.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>

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

Result<Window> RecordReader::read(std::uint64_t k) { return read_into(k, buffer_); }

Result<Window> RecordReader::read_into(std::uint64_t k, ByteBuffer& buffer) const {
    Window window;
    window.first = k * window_records_;
    window.count = std::min(window_records_, count_ - window.first);
    window.record_size = record_size_;
    window.data = buffer.data();
    // pread leaves the descriptor's position alone, so readers may share it.
    char* out = buffer.data();
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

void RecordReader::read_ahead(Order order, std::uint64_t n, std::uint64_t& asked) const {
    const std::uint64_t windows = window_count();
    const std::uint64_t span = std::max<std::uint64_t>(1, kReadAheadBytes / (window_records_ * record_size_));
    if (asked >= windows || asked > n + span / 2) return;
    const std::uint64_t from = std::max(asked, n);
    const std::uint64_t until = std::min(windows, n + 1 + span);
    asked = until;
    // The pass's windows [from, until) are the file's [first, last).
    const std::uint64_t first = order == Order::Forward ? from : windows - until;
    const std::uint64_t last = order == Order::Forward ? until : windows - from;
    const std::uint64_t first_record = first * window_records_;
    const std::uint64_t records = std::min(count_, last * window_records_) - first_record;
    // Only advice: a failure leaves the reads to fetch the pages themselves.
    (void)::posix_fadvise(fd_, static_cast<off_t>(offset_ + first_record * record_size_),
                          static_cast<off_t>(records * record_size_), POSIX_FADV_WILLNEED);
}

void RecordReader::drop(std::uint64_t k) const {
    const std::uint64_t first = k * window_records_;
    if (first >= count_) return;
    const std::uint64_t records = std::min(window_records_, count_ - first);
    (void)::posix_fadvise(fd_, static_cast<off_t>(offset_ + first * record_size_),
                          static_cast<off_t>(records * record_size_), POSIX_FADV_DONTNEED);
}

namespace {

// The first number in a file such as /proc/meminfo's line or a cgroup's
// limit; none for "max" or an unreadable file.
std::optional<std::uint64_t> number_in(const std::string& path, std::string_view after = {}) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = 0;
    if (!after.empty()) {
        at = text.find(after);
        if (at == std::string::npos) return std::nullopt;
        at += after.size();
    }
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
    if (error != std::errc() || end == text.data() + at) return std::nullopt;
    return value;
}

// Where the memory controller's hierarchy is mounted: cgroup v1 with the
// "memory" option, or cgroup v2.
std::optional<std::string> cgroup_mount(bool v2) {
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, type, options;
    std::string rest;
    while (mounts >> device >> point >> type >> options) {
        std::getline(mounts, rest);
        if (v2 && type == "cgroup2") return point;
        options.insert(options.begin(), ',');
        options.push_back(',');
        if (!v2 && type == "cgroup" && options.find(",memory,") != std::string::npos) return point;
    }
    return std::nullopt;
}

// The limit of this process's memory cgroup, if it has one.
std::optional<std::uint64_t> cgroup_limit() {
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    std::optional<std::uint64_t> limit;
    while (std::getline(groups, line)) {
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string controllers(1, ',');
        controllers.append(line, first + 1, second - first - 1).push_back(',');
        const std::string path = line.substr(second + 1);
        std::optional<std::uint64_t> found;
        if (controllers == ",,") {
            if (auto mount = cgroup_mount(true)) found = number_in(*mount + path + "/memory.max");
        } else if (controllers.find(",memory,") != std::string::npos) {
            if (auto mount = cgroup_mount(false)) found = number_in(*mount + path + "/memory.limit_in_bytes");
        }
        if (found && (!limit || *found < *limit)) limit = found;
    }
    return limit;
}

FileStamp stamp_from(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::uint64_t>(info.st_size), static_cast<std::int64_t>(info.st_mtim.tv_sec),
            static_cast<std::int64_t>(info.st_mtim.tv_nsec)};
}

}  // namespace

std::uint64_t memory_for_cache() {
    std::uint64_t memory = number_in("/proc/meminfo", "MemAvailable:").value_or(UINT64_MAX / 1024);
    memory = memory > UINT64_MAX / 1024 ? UINT64_MAX : memory * 1024;
    if (auto limit = cgroup_limit()) memory = std::min(memory, *limit);
    return memory;
}

Status copy_range_dropping_behind(File& in, std::uint64_t offset, std::uint64_t length,
                                  BufferedWriter& out, Interrupts& interrupts) {
    if (auto flushed = out.flush(); !flushed) return flushed;
    constexpr std::uint64_t kPiece = std::uint64_t{32} << 20;
    const int target = out.file().fd();
    for (std::uint64_t copied = 0; copied < length;) {
        if (auto checked = interrupts.check(); !checked) return checked;
        loff_t from = static_cast<loff_t>(offset + copied);
        const auto want = static_cast<std::size_t>(std::min(kPiece, length - copied));
        out.file().reserve_next(want);
        const ssize_t n = ::copy_file_range(in.fd(), &from, target, nullptr, want, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && copied == 0) return copy_range(in, offset, length, out, interrupts);  // no kernel copy
        if (n < 0) return fail(os_error(errno));
        if (n == 0) return fail(short_read_error());
        (void)::posix_fadvise(in.fd(), static_cast<off_t>(offset + copied), n, POSIX_FADV_DONTNEED);
        copied += static_cast<std::uint64_t>(n);
    }
    return {};
}

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
