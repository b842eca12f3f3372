#pragma once
// File plumbing shared by every tool: OS error text, RAII file descriptors,
// buffered reading and writing, directory creation and direct output to the
// process's standard streams.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "interrupt.hpp"

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
    File(File&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)),
          reserves_(std::exchange(other.reserves_, false)),
          reserves_ahead_(std::exchange(other.reserves_ahead_, false)),
          reserved_end_(std::exchange(other.reserved_end_, 0)) {}
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
    Status pwrite_all(const void* data, std::size_t size, std::uint64_t offset);
    Status seek(std::uint64_t offset);
    Status truncate(std::uint64_t size);
    Result<std::uint64_t> size() const;

    // Space for bytes about to be written to a new file: the file system
    // allocates the blocks of [offset, offset + length) up front, leaving
    // the size alone, and the writes that follow fill blocks it already has
    // rather than allocating them page by page (on ext4, a third less of the
    // kernel's time per byte written). Only advice, and only for files that
    // allow it (see allow_reserving): a file system without it, or a full
    // disk, stops the reserving, and the writes report what fails.
    void reserve(std::uint64_t offset, std::uint64_t length);
    // Reserves at least the next `length` bytes from the file's position,
    // ahead of the writes: as much again as the file holds, up to
    // kReserveAhead, so that a file written in small pieces still reserves
    // its blocks in large runs (one system call costs about as much for a
    // megabyte as for a few pages); only the bytes asked for when the file
    // system had less than kRoomToReserveAhead free as the file was made.
    // Nothing is reserved for fewer than kReserveFrom bytes.
    void reserve_next(std::uint64_t length);
    // For a new regular file this process writes: reserving space for what
    // is written into it cannot change what the file holds. Not on tmpfs,
    // whose reserved pages are cleared only to be overwritten.
    void allow_reserving();
    // Gives back what reserve_next reserved past the file's end, once the
    // file is complete: truncating to its own size frees the blocks beyond.
    Status release_unused_reservation();

private:
    int fd_ = -1;
    bool reserves_ = false;
    bool reserves_ahead_ = false;  // the disk had room to spare when the file was made
    std::uint64_t reserved_end_ = 0;
};

// The fewest bytes reserve_next reserves: for fewer, the system call costs
// more than the allocation it saves.
inline constexpr std::uint64_t kReserveFrom = std::uint64_t{128} << 10;
// The longest run reserve_next reserves ahead of the writes (the bytes it is
// asked for, when they are more).
inline constexpr std::uint64_t kReserveAhead = std::uint64_t{1} << 20;
// The free space below which a new file's reserve_next reserves nothing
// ahead: well above what every output open at once could hold reserved.
inline constexpr std::uint64_t kRoomToReserveAhead = std::uint64_t{4} << 30;

// Files the tools open never take descriptors 0 to 2: with a standard stream
// closed, a file opened there would receive what is printed to that stream.
Result<File> open_read(const std::string& path);
// Creates or truncates for writing, permission bits 0o666 before the umask.
Result<File> create_truncate(const std::string& path);

// Whether the path names an existing file that is not a regular file (a FIFO,
// a device): written in place, from front to back only.
bool is_stream(const std::string& path);

// An output file that appears only when complete: written under a temporary
// name in the folder of its final name, and renamed into place by commit().
// The final name thus holds either what it held before or the whole new
// file. An output whose name is a symbolic link (dangling or not) is written
// to the file the link names, and the link stays; an output that exists and
// is not a regular file (a FIFO, a device), or is reached through a link the
// system resolves by other means than its text (/proc/self/fd), is written in
// place. A new file gets permission bits 0o666 before the umask, a replaced
// one keeps its bits.
// Dropped before commit(), the temporary file is closed and removed.
class Output {
public:
    static Result<Output> create(const std::string& path);
    Output(Output&& other) noexcept;
    Output& operator=(Output&& other) noexcept;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();

    File& file() { return file_; }
    // Written in place (a FIFO, a device): its bytes go out front to back and
    // cannot be revisited. A temporary file is open for reading too.
    bool in_place() const { return temporary_.empty(); }
    // Closes the file, reporting a deferred write error, then renames it into
    // place. The caller flushes its buffers first.
    Status commit();

private:
    Output() = default;
    void discard() noexcept;

    File file_;
    std::string temporary_;  // empty when written in place, or once committed
    std::string target_;
};

// The file a path names once symbolic links at its last component are
// followed, whether or not that file exists yet (a dangling link names the
// file it would create). Relative link targets are taken from the link's own
// folder. Other paths are returned unchanged, and so is a link whose text
// does not name the file it resolves to (/proc/self/fd/N).
std::string follow_links(const std::string& path);

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
// absolute, symbolic links followed (dangling ones too), "." and ".." and
// repeated or trailing slashes resolved.
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
// Two paths that would name one file, by the rule of first_shared_path.
bool same_file(const std::string& a, const std::string& b);
// Refuses, as a ValueError naming both paths, the first output that is the
// same file as one of the inputs: writing it would destroy that input.
Status refuse_outputs_among_inputs(const std::vector<std::string>& outputs,
                                   const std::vector<std::string>& inputs);

// Reads through a buffer of fixed capacity; seek() discards the look-ahead.
class BufferedReader {
public:
    explicit BufferedReader(File& file, std::size_t capacity = kBufferSize);

    // Appends the bytes up to and including the next line feed (or to the end
    // of the file, or until `max_bytes` have been appended) to line; returns
    // how many bytes were appended, 0 at end.
    Result<std::size_t> read_line(std::string& line, std::size_t max_bytes = SIZE_MAX);
    Result<std::size_t> read(void* data, std::size_t size);
    Status read_exact(void* data, std::size_t size) {
        // Most reads of a record's fields find their bytes in the buffer.
        if (size <= end_ - begin_ && size > 0) {
            std::memcpy(data, buffer_.data() + begin_, size);
            begin_ += size;
            return {};
        }
        return read_exact_beyond_buffer(data, size);
    }
    // Reads past `size` bytes without keeping them; a file that ends earlier
    // is a short read.
    Status skip(std::uint64_t size);
    Status seek(std::uint64_t offset);
    File& file() { return file_; }

private:
    Status fill();
    Status read_exact_beyond_buffer(void* data, std::size_t size);

    File& file_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// Writes through a buffer of fixed capacity; flush() empties it. Until then
// every write the file sees is a whole buffer, or whole buffers written
// straight from the caller's data, so a writer that starts at the front of
// its file with a power-of-two capacity only writes at multiples of that
// capacity: the page cache then fills whole pages and folios, which costs it
// a third less than writes that start and end inside them.
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
    std::size_t capacity_;
    // Not cleared when allocated: only bytes written into it are ever read,
    // and clearing a large buffer would touch all its pages up front.
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
};

// Copies exactly `length` bytes of `in` from `offset` onto `out`, through the
// kernel where it can (copy_file_range) and a read/write loop where it cannot,
// reserving the output's space piece by piece;
// a file that ends earlier is a short read. Flushes `out` first so the bytes
// land in order. Checks for interrupts between pieces of a few tens of MB.
Status copy_range(File& in, std::uint64_t offset, std::uint64_t length, BufferedWriter& out,
                  Interrupts& interrupts);

// Moves `length` bytes of `file` from offset `from` to offset `to`, which may
// overlap them, through a buffer of `piece` bytes; the bytes outside the
// destination stay as they were. Checks for interrupts between pieces.
Status move_range(File& file, std::uint64_t from, std::uint64_t to, std::uint64_t length,
                  Interrupts& interrupts, std::size_t piece = std::size_t{8} << 20);

// Writes straight to file descriptor 1 or 2 with write(2), bypassing Python's
// sys.stdout. Failures are ignored, as a closed terminal must not fail a tool.
void print(std::string_view text);
void print_error(std::string_view text);

}  // namespace larkspan::io
