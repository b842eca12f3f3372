#pragma once
// File plumbing shared by every tool: OS error text, RAII file descriptors,
// buffered reading and writing, directory creation and direct output to the
// process's standard streams.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"

namespace larkspan::io {

inline constexpr std::size_t kBufferSize = 8192;
inline constexpr std::string_view kShortReadText = "failed to fill whole buffer";
inline constexpr std::string_view kInvalidUtf8Text = "stream did not contain valid UTF-8";
// Paths are passed to the system as C strings; one with a NUL byte inside is
// refused rather than cut short.
inline constexpr std::string_view kNulInPathText = "file name contained an unexpected NUL byte";

// "No such file or directory (os error 2)": the system's description of the
// error number, then the number. Paths never appear in it.
std::string os_error_text(int errnum);
Error os_error(int errnum);
Error short_read_error();
Error invalid_utf8_error();

// An owned file descriptor, closed on destruction.
class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    // Closes now and reports what close(2) says (a deferred write error).
    Status close();

    // read(2) retried on EINTR; 0 at end of file.
    Result<std::size_t> read_some(void* data, std::size_t size);
    Result<std::size_t> pread_some(void* data, std::size_t size, std::uint64_t offset);
    // Reads exactly size bytes or fails with "failed to fill whole buffer".
    Status read_exact(void* data, std::size_t size);
    Status pread_exact(void* data, std::size_t size, std::uint64_t offset);
    Status write_all(const void* data, std::size_t size);
    Status seek(std::uint64_t offset);
    Result<std::uint64_t> size() const;

private:
    int fd_ = -1;
};

Result<File> open_read(const std::string& path);
// Creates or truncates for writing, permission bits 0o666 before the umask.
Result<File> create_truncate(const std::string& path);
// Creates a directory and its missing parents, 0o777 before the umask, as
// mkdir -p does: a regular file on the way is "Not a directory".
Status create_dir_all(const std::string& path);
// Creates the missing directories above a file about to be created.
Status create_parent_directories(const std::string& file_path);
// Whole file as bytes.
Result<std::string> read_file(const std::string& path);
bool is_valid_utf8(std::string_view text);

// The path made absolute with "." and ".." segments and repeated slashes
// resolved, without touching the file system.
std::string normalise_path(const std::string& path);
// What a path names, for telling whether two outputs would be one file: made
// absolute, symbolic links followed as far as the path exists, "." and ".."
// and repeated or trailing slashes resolved.
std::string path_identity(const std::string& path);
// The device and inode of an existing file (symbolic links followed), so
// two names of one file can be told apart from two files.
struct FileId {
    std::uint64_t device = 0, inode = 0;
    bool operator==(const FileId&) const = default;
};
std::optional<FileId> file_id(const std::string& path);
// Both paths name one existing file (hard links, symbolic links).
bool same_existing_file(const std::string& a, const std::string& b);
// The positions of the first two paths that would write one file (equal
// identities, or two names of one existing file), in list order: the later
// of the two is the first position at which a repeat is seen.
std::optional<std::pair<std::size_t, std::size_t>> first_shared_path(
    const std::vector<std::string>& paths);

// Reads through a buffer of fixed capacity; seek() discards the look-ahead.
class BufferedReader {
public:
    explicit BufferedReader(File& file, std::size_t capacity = kBufferSize);

    // Appends the bytes up to and including the next line feed (or to the end
    // of the file, or until `max_bytes` have been appended) to line; returns
    // how many bytes were appended, 0 at end.
    Result<std::size_t> read_line(std::string& line, std::size_t max_bytes = SIZE_MAX);
    Result<std::size_t> read(void* data, std::size_t size);
    Status read_exact(void* data, std::size_t size);
    Status seek(std::uint64_t offset);
    File& file() { return file_; }

private:
    Status fill();

    File& file_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// Writes through a buffer of fixed capacity; flush() empties it.
class BufferedWriter {
public:
    explicit BufferedWriter(File& file, std::size_t capacity = kBufferSize);

    Status write(const void* data, std::size_t size);
    Status write(std::string_view text) { return write(text.data(), text.size()); }
    template <class T>
    Status write_value(const T& value) { return write(&value, sizeof value); }
    Status flush();
    File& file() { return file_; }

private:
    File& file_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
};

// Copies every byte of `in` from `offset` to its end onto `out`, through the
// kernel where it can (copy_file_range) and a read/write loop where it cannot.
// Flushes `out` first so the bytes land in order.
Result<std::uint64_t> copy_to_end(File& in, std::uint64_t offset, BufferedWriter& out);

// Writes straight to file descriptor 1 or 2 with write(2), bypassing Python's
// sys.stdout. Failures are ignored, as a closed terminal must not fail a tool.
void print(std::string_view text);
void print_error(std::string_view text);

}  // namespace larkspan::io
