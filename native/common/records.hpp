#pragma once
// The vertex records of a file read window by window into one buffer of
// fixed size, so that a tool's memory does not grow with its input: the
// kernel's page cache is the only copy of the file, and the kernel drops its
// pages when memory runs short. Reads go through pread, so a file shortened
// meanwhile gives a short read ("failed to fill whole buffer"), never a
// fault as a mapping would.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <tbb/parallel_pipeline.h>
#include <tbb/task_group.h>

#include "buffer.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "io.hpp"

namespace larkspan::io {

// Large enough that reads and writes cost few system calls and the pool's
// workers get whole blocks of records; small enough to be a fixed cost.
inline constexpr std::size_t kWindowBytes = std::size_t{16} << 20;

// How far beyond the window being read the kernel is asked to fetch the
// file: windows are sized for the cores' caches, while a disk reads best in
// long requests.
inline constexpr std::uint64_t kReadAheadBytes = std::uint64_t{8} << 20;

// Records [first, first + count) of the file, held in the reader's buffer
// until the next window is read.
struct Window {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::uint64_t record_size = 0;
    const char* data = nullptr;

    // Record `first + i`.
    const char* record(std::uint64_t i) const { return data + i * record_size; }
    std::size_t bytes() const { return static_cast<std::size_t>(count * record_size); }
};

// Which end of the file a pass starts from. A pass that starts where the
// previous one ended finds those pages still in the page cache when the file
// is larger than memory.
enum class Order { Forward, Backward };

class RecordReader {
public:
    // `count` records of `record_size` (> 0) bytes from byte `offset` of
    // `file`, which the caller has checked holds them and keeps open while
    // the reader is used. Windows hold a multiple of `align` records (the
    // last one excepted), about `window_bytes` bytes.
    static Result<RecordReader> create(const File& file, std::uint64_t offset,
                                       std::uint64_t record_size, std::uint64_t count,
                                       std::size_t window_bytes = kWindowBytes,
                                       std::uint64_t align = 1);

    std::uint64_t count() const { return count_; }
    std::uint64_t record_size() const { return record_size_; }
    std::uint64_t window_records() const { return window_records_; }
    std::uint64_t window_count() const;

    // Reads window k (windows numbered in file order).
    Result<Window> read(std::uint64_t k);
    // Asks the kernel to drop window k from the page cache.
    void drop(std::uint64_t k) const;

    // Calls visit(const Window&) -> Status for every window in `order`; stops
    // at the first failure and returns it. While a window is visited, the
    // next is read into a second buffer on the worker pool, and the kernel
    // already fetches the one after. With `drop_behind`, each window's pages
    // are dropped once it is visited: for the last pass over a file that the
    // page cache cannot hold, so the pages it keeps are those still to come.
    template <class Visit>
    Status for_each(Order order, Visit&& visit, bool drop_behind = false) {
        const std::uint64_t windows = window_count();
        if (windows == 0) return {};
        if (windows > 1 && !spare_.data()) {
            auto spare = ByteBuffer::allocate(buffer_.size());
            if (!spare) return fail(spare.error());
            spare_ = std::move(*spare);
        }
        auto window_at = [&](std::uint64_t n) { return order == Order::Forward ? n : windows - 1 - n; };
        std::uint64_t asked = 0;
        read_ahead(order, 0, asked);
        Result<Window> current = read_into(window_at(0), buffer_);
        for (std::uint64_t n = 0; n < windows; ++n) {
            if (!current) return fail(current.error());
            ByteBuffer& next_buffer = n % 2 == 0 ? spare_ : buffer_;
            Result<Window> next;
            tbb::task_group reading;
            if (n + 1 < windows) {
                read_ahead(order, n + 1, asked);
                reading.run([&] { next = read_into(window_at(n + 1), next_buffer); });
            }
            auto visited = visit(*current);
            reading.wait();
            if (!visited) return visited;
            if (drop_behind) drop(window_at(n));
            current = std::move(next);
        }
        return {};
    }

    // Visits every window in `order` with up to `in_flight` windows in memory
    // at once: process(const Window&) -> Status runs on the pool, for several
    // windows at a time, then consume(const Window&) -> Status runs for one
    // window at a time, in pass order. So one window's results can be
    // written while the next ones are computed. Stops at the first failure
    // and returns it; with `drop_behind`, as for_each.
    template <class Process, class Consume>
    Status pipeline(Order order, std::size_t in_flight, Process&& process, Consume&& consume,
                    bool drop_behind = false) {
        const std::uint64_t windows = window_count();
        if (windows == 0) return {};
        in_flight = static_cast<std::size_t>(std::clamp<std::uint64_t>(in_flight, 1, windows));
        // The reader's own buffer is the first; the others last for the pass.
        std::vector<ByteBuffer> more_buffers;
        for (std::size_t i = 1; i < in_flight; ++i) {
            auto buffer = ByteBuffer::allocate(buffer_.size());
            if (!buffer) return fail(buffer.error());
            more_buffers.push_back(std::move(*buffer));
        }
        auto buffer_of = [&](std::uint64_t n) -> ByteBuffer& {
            const std::size_t i = static_cast<std::size_t>(n % in_flight);
            return i == 0 ? buffer_ : more_buffers[i - 1];
        };
        auto window_at = [&](std::uint64_t n) { return order == Order::Forward ? n : windows - 1 - n; };
        // At most `in_flight` windows are between reading and consuming, so
        // window n may take the buffer of window n - in_flight.
        std::vector<Window> slots(in_flight);
        std::mutex failing;
        Status failure;
        std::atomic<bool> failed{false};
        auto record = [&](Status status) {
            std::lock_guard lock(failing);
            if (failure) failure = std::move(status);
            failed.store(true, std::memory_order_relaxed);
        };
        std::uint64_t next = 0, asked = 0;
        tbb::parallel_pipeline(
            in_flight,
            tbb::make_filter<void, Window*>(tbb::filter_mode::serial_in_order,
                                            [&](tbb::flow_control& control) -> Window* {
                if (next == windows || failed.load(std::memory_order_relaxed)) {
                    control.stop();
                    return nullptr;
                }
                read_ahead(order, next, asked);
                Window& slot = slots[next % in_flight];
                auto read = read_into(window_at(next), buffer_of(next));
                ++next;
                if (!read) {
                    record(fail(read.error()));
                    control.stop();
                    return nullptr;
                }
                slot = *read;
                return &slot;
            }) &
            tbb::make_filter<Window*, Window*>(tbb::filter_mode::parallel, [&](Window* window) {
                if (!failed.load(std::memory_order_relaxed)) {
                    if (auto processed = process(*window); !processed) record(std::move(processed));
                }
                return window;
            }) &
            tbb::make_filter<Window*, void>(tbb::filter_mode::serial_in_order, [&](Window* window) {
                if (failed.load(std::memory_order_relaxed)) return;
                if (auto consumed = consume(*window); !consumed) record(std::move(consumed));
                else if (drop_behind) drop(window->first / window_records_);
            }));
        return failure;
    }

private:
    RecordReader(int fd, std::uint64_t offset, std::uint64_t record_size, std::uint64_t count,
                 std::uint64_t window_records, ByteBuffer buffer)
        : fd_(fd), offset_(offset), record_size_(record_size), count_(count),
          window_records_(window_records), buffer_(std::move(buffer)) {}

    // Reads window k into `buffer`.
    Result<Window> read_into(std::uint64_t k, ByteBuffer& buffer) const;
    // Asks the kernel to fetch in the background the windows of a pass in
    // `order` from window n, which is about to be read, to kReadAheadBytes
    // beyond it; `asked` counts the windows of the pass asked for so far.
    // It asks again once half of that span has been read, so the advice
    // costs few system calls however small the windows are.
    void read_ahead(Order order, std::uint64_t n, std::uint64_t& asked) const;

    int fd_;  // borrowed: the caller keeps the file open
    std::uint64_t offset_, record_size_, count_, window_records_;
    ByteBuffer buffer_;
    ByteBuffer spare_;  // the window read ahead, once a pass has more than one
};

// The memory this process's page cache can count on: the memory the system
// has available, or less when the process's memory cgroup (v1 or v2) has a
// lower limit.
std::uint64_t memory_for_cache();

// A file of `size` bytes that the page cache cannot be expected to hold while
// a tool passes over it.
inline bool larger_than_memory(std::uint64_t size) { return size > memory_for_cache(); }

// Copies `length` bytes of `in` from `offset` onto `out` as io::copy_range
// does, dropping each piece of the input from the page cache once it is
// copied: for inputs larger than memory, read once.
Status copy_range_dropping_behind(File& in, std::uint64_t offset, std::uint64_t length,
                                  BufferedWriter& out, Interrupts& interrupts);

// What identifies a file's content without reading it: the device and inode
// it lives at, its size and its modification time. Equal stamps of one path
// taken at two times mean, as far as the system can tell, that nobody
// replaced, truncated or rewrote the file in between.
struct FileStamp {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime_seconds = 0, mtime_nanoseconds = 0;
    bool operator==(const FileStamp&) const = default;
};

Result<FileStamp> stamp_of(const File& file);
// The file the path names now (symbolic links followed).
Result<FileStamp> stamp_of(const std::string& path);

}  // namespace larkspan::io
