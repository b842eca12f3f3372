#include "io.hpp"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <unordered_map>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace larkspan::io {

std::string os_error_text(int errnum) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling buffer.
    const char* description = strerror_r(errnum, buffer, sizeof buffer);
    return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

Error os_error(int errnum) { return Error::os(os_error_text(errnum), errnum); }
Error short_read_error() { return Error::os(std::string(kShortReadText)); }
Error invalid_utf8_error() { return Error::os(std::string(kInvalidUtf8Text)); }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        reserves_ = std::exchange(other.reserves_, false);
        reserves_ahead_ = std::exchange(other.reserves_ahead_, false);
        reserved_end_ = std::exchange(other.reserved_end_, 0);
    }
    return *this;
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

Status File::close() {
    int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return fail(os_error(errno));
    return {};
}

Result<std::size_t> File::read_some(void* data, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(fd_, data, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return fail(os_error(errno));
    }
}

Result<std::size_t> File::pread_some(void* data, std::size_t size, std::uint64_t offset) {
    for (;;) {
        ssize_t n = ::pread(fd_, data, size, static_cast<off_t>(offset));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return fail(os_error(errno));
    }
}

Status File::read_exact(void* data, std::size_t size) {
    auto* out = static_cast<char*>(data);
    while (size > 0) {
        auto n = read_some(out, size);
        if (!n) return fail(n.error());
        if (*n == 0) return fail(short_read_error());
        out += *n;
        size -= *n;
    }
    return {};
}

Status File::pread_exact(void* data, std::size_t size, std::uint64_t offset) {
    auto* out = static_cast<char*>(data);
    while (size > 0) {
        auto n = pread_some(out, size, offset);
        if (!n) return fail(n.error());
        if (*n == 0) return fail(short_read_error());
        out += *n;
        size -= *n;
        offset += *n;
    }
    return {};
}

namespace {

// Repeats a write of the rest of the bytes, given to write_some with their
// offset from the start, until all are written; EINTR retries.
template <class WriteSome>
Status write_fully(const void* data, std::size_t size, WriteSome write_some) {
    const auto* in = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write_some(in + done, size - done, done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(os_error(errno));
        }
        if (n == 0) return fail(os_error(EIO));
        done += static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace

Status File::write_all(const void* data, std::size_t size) {
    return write_fully(data, size, [&](const char* in, std::size_t left, std::size_t) {
        return ::write(fd_, in, left);
    });
}

Status File::pwrite_all(const void* data, std::size_t size, std::uint64_t offset) {
    return write_fully(data, size, [&](const char* in, std::size_t left, std::size_t done) {
        return ::pwrite(fd_, in, left, static_cast<off_t>(offset + done));
    });
}

Status File::seek(std::uint64_t offset) {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return fail(os_error(errno));
    return {};
}

Status File::truncate(std::uint64_t size) {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return fail(os_error(errno));
    return {};
}

void File::allow_reserving() {
    struct statfs system {};
    reserves_ = ::fstatfs(fd_, &system) == 0 && system.f_type != TMPFS_MAGIC;
    // Blocks reserved ahead are the file's until its writes fill them or it
    // is complete, so on a disk close to full only what is about to be
    // written is reserved: a full disk then fails the same writes as it
    // would without reserving.
    const auto free_bytes = static_cast<std::uint64_t>(system.f_bavail) * static_cast<std::uint64_t>(system.f_bsize);
    reserves_ahead_ = reserves_ && free_bytes >= kRoomToReserveAhead;
}

void File::reserve(std::uint64_t offset, std::uint64_t length) {
    if (!reserves_ || length == 0) return;
    if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length)) != 0 &&
        errno != EINTR)
        reserves_ = false;
}

void File::reserve_next(std::uint64_t length) {
    if (!reserves_) return;
    const off_t position = ::lseek(fd_, 0, SEEK_CUR);
    if (position < 0) {
        reserves_ = false;
        return;
    }
    const auto from = static_cast<std::uint64_t>(position);
    const std::uint64_t end = from + length;
    if (end <= reserved_end_) return;
    const std::uint64_t ahead = std::max(length, std::min(kReserveAhead, end));
    const std::uint64_t span = reserves_ahead_ ? ahead : length;
    if (span < kReserveFrom) return;
    reserve(from, span);
    reserved_end_ = from + span;
}

Status File::release_unused_reservation() {
    if (reserved_end_ == 0) return {};
    auto end = size();
    if (!end) return fail(end.error());
    if (*end < reserved_end_) return truncate(*end);
    return {};
}

Result<std::uint64_t> File::size() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return fail(os_error(errno));
    return static_cast<std::uint64_t>(info.st_size);
}

namespace {
// The system would read a path only up to its first NUL byte and so open
// another file than the one named.
bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }
Error nul_in_path_error() { return Error::os(std::string(kNulInPathText)); }
}  // namespace

namespace {

// Moves a descriptor the system placed on 0, 1 or 2 (a standard stream the
// process has closed) to the lowest free one above them.
int above_standard_streams(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    ::close(fd);
    errno = err;
    return moved;
}

// Held shared while a file is opened and moved off 0 to 2, and exclusively
// while a line is printed: with a standard stream closed, a worker's file may
// sit on that descriptor for an instant, and a line printed then would land in
// the file.
std::shared_mutex standard_streams;

int open_file(const std::string& path, int flags, mode_t mode = 0) {
    std::shared_lock opening(standard_streams);
    return above_standard_streams(::open(path.c_str(), flags | O_CLOEXEC, mode));
}

}  // namespace

Result<File> open_read(const std::string& path) {
    if (has_nul(path)) return fail(nul_in_path_error());
    int fd = open_file(path, O_RDONLY);
    if (fd < 0) return fail(os_error(errno));
    return File(fd);
}

Result<File> create_truncate(const std::string& path) {
    if (has_nul(path)) return fail(nul_in_path_error());
    int fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return fail(os_error(errno));
    return File(fd);
}

bool is_stream(const std::string& path) {
    struct stat info {};
    return !has_nul(path) && ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

std::string follow_links(const std::string& path) {
    std::string current = path;
    // As many hops as the system itself follows before it reports a loop.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4096), '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n <= 0) return current;
        target.resize(static_cast<std::size_t>(n));
        const auto slash = current.find_last_of('/');
        std::string next = target.front() == '/' || slash == std::string::npos
                               ? target
                               : current.substr(0, slash + 1) + target;
        // A link the system resolves to another file than its text names
        // (the /proc/self/fd links) is not followed by name.
        struct stat through {}, named {};
        if (::stat(current.c_str(), &through) == 0 &&
            (::stat(next.c_str(), &named) != 0 || named.st_dev != through.st_dev ||
             named.st_ino != through.st_ino))
            return current;
        current = std::move(next);
    }
    return current;
}

namespace {

// A name no other writer picks: the final name's own, hidden, with a random
// suffix. Long names are shortened so the suffix still fits.
std::string temporary_name(const std::string& target) {
    const auto slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.size() > 200) base.resize(200);
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
        random = static_cast<std::uint64_t>(::getpid()) << 32;
    random ^= counter.fetch_add(1) * 0x9E3779B97F4A7C15ull;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(random));
    return folder + "." + base + suffix;
}

}  // namespace

Result<Output> Output::create(const std::string& path) {
    if (has_nul(path)) return fail(nul_in_path_error());
    Output output;
    output.target_ = follow_links(path);
    struct stat existing {}, own {};
    const bool exists = ::stat(output.target_.c_str(), &existing) == 0;
    const bool unfollowed_link = ::lstat(output.target_.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
    if (exists && (!S_ISREG(existing.st_mode) || unfollowed_link)) {
        // A FIFO or a device cannot be replaced by a file, nor can the file
        // behind a /proc/self/fd link; a directory fails here as it always did.
        auto file = create_truncate(output.target_);
        if (!file) return fail(file.error());
        output.file_ = std::move(*file);
        return output;
    }
    // A file the caller may not write must not be replaced either.
    if (exists && ::access(output.target_.c_str(), W_OK) != 0) return fail(os_error(errno));
    for (;;) {
        std::string temporary = temporary_name(output.target_);
        const int fd = open_file(temporary, O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return fail(os_error(errno));
        }
        output.file_ = File(fd);
        output.file_.allow_reserving();
        output.temporary_ = std::move(temporary);
        break;
    }
    if (exists) ::fchmod(output.file_.fd(), existing.st_mode & 07777);
    return output;
}

Output::Output(Output&& other) noexcept
    : file_(std::move(other.file_)),
      temporary_(std::exchange(other.temporary_, {})),
      target_(std::move(other.target_)) {}

Output& Output::operator=(Output&& other) noexcept {
    if (this != &other) {
        discard();
        file_ = std::move(other.file_);
        temporary_ = std::exchange(other.temporary_, {});
        target_ = std::move(other.target_);
    }
    return *this;
}

Output::~Output() { discard(); }

void Output::discard() noexcept {
    file_ = File();
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

Status Output::commit() {
    if (auto released = file_.release_unused_reservation(); !released) {
        discard();
        return released;
    }
    if (auto closed = file_.close(); !closed) {
        discard();
        return closed;
    }
    if (temporary_.empty()) return {};
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        const int err = errno;
        discard();
        return fail(os_error(err));
    }
    temporary_.clear();
    return {};
}

namespace {

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

// As mkdir -p does: try the directory itself first and create its parent only
// when the system says the parent is missing, so a regular file on the way is
// reported as the system reports it ("Not a directory").
Status create_dir_all(const std::string& path) {
    if (path.empty()) return fail(os_error(ENOENT));
    if (has_nul(path)) return fail(nul_in_path_error());
    const std::string trimmed = without_trailing_slashes(path);
    if (::mkdir(trimmed.c_str(), 0777) == 0) return {};
    int err = errno;
    if (err == ENOENT) {
        const auto slash = trimmed.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            if (auto parent = create_dir_all(trimmed.substr(0, slash)); !parent) return parent;
            if (::mkdir(trimmed.c_str(), 0777) == 0) return {};
            err = errno;
        }
    }
    // A directory that exists, or that another writer made in between, is fine.
    if (err == EEXIST && is_directory(trimmed)) return {};
    return fail(os_error(err));
}

Status create_parent_directories(const std::string& file_path) {
    const auto slash = file_path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return {};
    const std::string parent = file_path.substr(0, slash);
    auto made = create_dir_all(parent);
    // A parent that exists but is no directory: creating the file reports it.
    if (!made && made.error().os_errno == EEXIST) return {};
    return made;
}

Result<std::string> read_file(const std::string& path) {
    auto file = open_read(path);
    if (!file) return fail(file.error());
    std::string content;
    std::vector<char> chunk(64 * 1024);
    for (;;) {
        auto n = file->read_some(chunk.data(), chunk.size());
        if (!n) return fail(n.error());
        if (*n == 0) break;
        content.append(chunk.data(), *n);
    }
    return content;
}

bool is_valid_utf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned min_cp;
        unsigned cp;
        if ((c & 0xE0) == 0xC0) { len = 2; min_cp = 0x80; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; min_cp = 0x800; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; min_cp = 0x10000; cp = c & 0x07; }
        else return false;
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (cp < min_cp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

std::string normalise_path(const std::string& path) {
    std::string absolute = path;
    if (absolute.empty() || absolute.front() != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) != nullptr) absolute = std::string(cwd) + "/" + path;
    }
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= absolute.size()) {
        std::size_t slash = absolute.find('/', start);
        if (slash == std::string::npos) slash = absolute.size();
        std::string part = absolute.substr(start, slash - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        start = slash + 1;
    }
    std::string result;
    for (const auto& part : parts) result += "/" + part;
    return result.empty() ? "/" : result;
}

std::string path_identity(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    // The last component as follow_links leaves it: resolving it again would
    // take a /proc/self/fd link to the text it shows, which is not a path.
    const fs::path followed = fs::absolute(follow_links(path), error);
    const fs::path name = followed.filename();
    fs::path resolved = name.empty() || name == "." || name == ".."
                            ? fs::weakly_canonical(followed, error)
                            : fs::weakly_canonical(followed.parent_path(), error) / name;
    std::string text = error ? normalise_path(path) : resolved.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

std::optional<FileId> file_id(const std::string& path) {
    struct stat info {};
    if (has_nul(path) || ::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

bool same_existing_file(const std::string& a, const std::string& b) {
    const auto id_a = file_id(a);
    return id_a && id_a == file_id(b);
}

std::optional<std::pair<std::size_t, std::size_t>> first_shared_path(
    const std::vector<std::string>& paths) {
    std::unordered_map<std::string, std::size_t> by_identity;
    std::vector<std::pair<FileId, std::size_t>> existing;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const auto [at, inserted] = by_identity.emplace(path_identity(paths[i]), i);
        if (!inserted) return std::pair{at->second, i};
        if (auto id = file_id(paths[i])) {
            for (const auto& [other_id, other] : existing)
                if (other_id == *id) return std::pair{other, i};
            existing.emplace_back(*id, i);
        }
    }
    return std::nullopt;
}

bool same_file(const std::string& a, const std::string& b) {
    return path_identity(a) == path_identity(b) || same_existing_file(a, b);
}

Status refuse_outputs_among_inputs(const std::vector<std::string>& outputs,
                                   const std::vector<std::string>& inputs) {
    for (const auto& output : outputs) {
        for (const auto& input : inputs) {
            if (!same_file(output, input)) continue;
            return fail(Error::value("Output file " + output + " is also an input file (" + input +
                                     "); writing it would overwrite the input."));
        }
    }
    return {};
}

BufferedReader::BufferedReader(File& file, std::size_t capacity)
    : file_(file), buffer_(std::max<std::size_t>(capacity, 1)) {}

Status BufferedReader::fill() {
    auto n = file_.read_some(buffer_.data(), buffer_.size());
    if (!n) return fail(n.error());
    begin_ = 0;
    end_ = *n;
    return {};
}

Result<std::size_t> BufferedReader::read_line(std::string& line, std::size_t max_bytes) {
    std::size_t appended = 0;
    for (;;) {
        if (appended == max_bytes) return appended;
        if (begin_ == end_) {
            auto filled = fill();
            if (!filled) return fail(filled.error());
            if (end_ == 0) return appended;
        }
        const char* start = buffer_.data() + begin_;
        const char* stop = start + std::min(end_ - begin_, max_bytes - appended);
        const char* newline = std::find(start, stop, '\n');
        std::size_t take = static_cast<std::size_t>(newline - start) + (newline != stop ? 1 : 0);
        line.append(start, take);
        begin_ += take;
        appended += take;
        if (newline != stop) return appended;
    }
}

Result<std::size_t> BufferedReader::read(void* data, std::size_t size) {
    // Nothing to read: an empty destination may have no address at all (the
    // data of an empty vector), which memcpy must not be given.
    if (size == 0) return 0;
    if (begin_ == end_) {
        // Large reads bypass the buffer, as copying them through it gains nothing.
        if (size >= buffer_.size()) return file_.read_some(data, size);
        auto filled = fill();
        if (!filled) return fail(filled.error());
    }
    std::size_t take = std::min(size, end_ - begin_);
    std::memcpy(data, buffer_.data() + begin_, take);
    begin_ += take;
    return take;
}

Status BufferedReader::read_exact_beyond_buffer(void* data, std::size_t size) {
    auto* out = static_cast<char*>(data);
    while (size > 0) {
        auto n = read(out, size);
        if (!n) return fail(n.error());
        if (*n == 0) return fail(short_read_error());
        out += *n;
        size -= *n;
    }
    return {};
}

Status BufferedReader::skip(std::uint64_t size) {
    while (size > 0) {
        if (begin_ == end_) {
            auto filled = fill();
            if (!filled) return filled;
            if (end_ == 0) return fail(short_read_error());
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - begin_));
        begin_ += take;
        size -= take;
    }
    return {};
}

Status BufferedReader::seek(std::uint64_t offset) {
    begin_ = end_ = 0;
    return file_.seek(offset);
}

BufferedWriter::BufferedWriter(File& file, std::size_t capacity)
    : file_(file),
      capacity_(std::max<std::size_t>(capacity, 1)),
      buffer_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

Status BufferedWriter::write(const void* data, std::size_t size) {
    // Nothing to write: an empty source may have no address at all (the data
    // of an empty vector or span), which memcpy must not be given.
    if (size == 0) return {};
    const auto* in = static_cast<const char*>(data);
    if (used_ > 0) {
        const std::size_t taken = std::min(size, capacity_ - used_);
        std::memcpy(buffer_.get() + used_, in, taken);
        used_ += taken;
        in += taken;
        size -= taken;
        if (used_ < capacity_) return {};
        if (auto flushed = flush(); !flushed) return flushed;
    }
    const std::size_t whole = size / capacity_ * capacity_;
    if (whole > 0) {
        file_.reserve_next(whole);
        if (auto w = file_.write_all(in, whole); !w) return w;
    }
    if (size > whole) std::memcpy(buffer_.get(), in + whole, size - whole);
    used_ = size - whole;
    return {};
}

Status BufferedWriter::flush() {
    if (used_ == 0) return {};
    // The buffer is emptied even when the write fails, as a retry would
    // duplicate whatever part the kernel already took.
    std::size_t pending = std::exchange(used_, 0);
    file_.reserve_next(pending);
    return file_.write_all(buffer_.get(), pending);
}

namespace {

bool kernel_copy_unsupported(int err) {
    return err == EXDEV || err == ENOSYS || err == EINVAL || err == EOPNOTSUPP || err == EBADF;
}

// Pieces small enough that an interrupt is noticed within a fraction of a
// second, large enough that the checks cost nothing.
constexpr std::uint64_t kCopyPiece = std::uint64_t{64} << 20;

Status copy_by_loop(File& in, std::uint64_t offset, std::uint64_t length, File& out,
                    Interrupts& interrupts) {
    std::vector<char> chunk(1 << 20);
    for (std::uint64_t copied = 0; copied < length;) {
        if (auto checked = interrupts.check(); !checked) return checked;
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), length - copied));
        auto n = in.pread_some(chunk.data(), want, offset + copied);
        if (!n) return fail(n.error());
        if (*n == 0) return fail(short_read_error());
        out.reserve_next(*n);
        if (auto written = out.write_all(chunk.data(), *n); !written) return written;
        copied += *n;
    }
    return {};
}

}  // namespace

Status copy_range(File& in, std::uint64_t offset, std::uint64_t length, BufferedWriter& out,
                  Interrupts& interrupts) {
    if (auto flushed = out.flush(); !flushed) return flushed;
    File& target = out.file();
    for (std::uint64_t copied = 0; copied < length;) {
        if (auto checked = interrupts.check(); !checked) return checked;
        loff_t from = static_cast<loff_t>(offset + copied);
        const auto want = static_cast<std::size_t>(std::min(kCopyPiece, length - copied));
        target.reserve_next(want);
        ssize_t n = ::copy_file_range(in.fd(), &from, target.fd(), nullptr, want, 0);
        if (n > 0) {
            copied += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n == 0) return fail(short_read_error());
        if (errno == EINTR) continue;
        if (copied == 0 && kernel_copy_unsupported(errno))
            return copy_by_loop(in, offset, length, target, interrupts);
        return fail(os_error(errno));
    }
    return {};
}

Status move_range(File& file, std::uint64_t from, std::uint64_t to, std::uint64_t length,
                  Interrupts& interrupts, std::size_t piece_bytes) {
    if (from == to || length == 0) return {};
    const std::uint64_t largest = std::max<std::size_t>(piece_bytes, 1);
    auto buffer = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(std::min(largest, length)));
    // Towards the front, the pieces go front first; towards the back, back
    // first: either way no piece overwrites bytes still to be moved.
    const bool forward = to < from;
    for (std::uint64_t moved = 0; moved < length;) {
        if (auto checked = interrupts.check(); !checked) return checked;
        const std::uint64_t piece = std::min(largest, length - moved);
        const std::uint64_t at = forward ? moved : length - moved - piece;
        const auto size = static_cast<std::size_t>(piece);
        if (auto r = file.pread_exact(buffer.get(), size, from + at); !r) return r;
        if (auto w = file.pwrite_all(buffer.get(), size, to + at); !w) return w;
        moved += piece;
    }
    return {};
}

namespace {
void write_fd(int fd, std::string_view text) {
    std::unique_lock printing(standard_streams);
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}
}  // namespace

void print(std::string_view text) { write_fd(1, text); }
void print_error(std::string_view text) { write_fd(2, text); }

}  // namespace larkspan::io
