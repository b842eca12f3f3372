// Outputs through links and special files, permission bits, the overwrite
// refusal; space reserved for writes; a file shortened while it is read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/records.hpp"
#include "scratch.hpp"

using namespace larkspan;

static std::string path_of(const io::File& file) { return "/proc/self/fd/" + std::to_string(file.fd()); }

static Status write_output(const std::string& path, std::string_view data) {
    auto output = io::Output::create(path);
    if (!output) return fail(output.error());
    if (auto written = output->file().write_all(data.data(), data.size()); !written) return written;
    return output->commit();
}

// A link is written through (a dangling chain creates its target) and stays
// a link; /dev/null and a /proc/self/fd link are written in place.
TEST(Output, LinksAndSpecialFiles) {
    Scratch dir;
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0777), 0);
    ASSERT_EQ(::symlink("sub/target", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::symlink("dangling", (dir / "chain").c_str()), 0);
    ASSERT_TRUE(write_output(dir / "chain", "data"));
    EXPECT_EQ(io::read_file(dir / "sub/target").value(), "data");
    struct stat info {};
    ASSERT_EQ(::lstat((dir / "chain").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));

    EXPECT_TRUE(write_output("/dev/null", "x"));
    // Two files whose links read alike: "/memfd:same (deleted)".
    io::File a(::memfd_create("same", 0)), b(::memfd_create("same", 0));
    EXPECT_FALSE(io::same_file(path_of(a), path_of(b)));
    ASSERT_TRUE(write_output(path_of(a), "abc"));
    EXPECT_EQ(io::read_file(path_of(a)).value(), "abc");

    auto missing_folder = io::Output::create(dir / "no/such");
    ASSERT_FALSE(missing_folder);
    EXPECT_EQ(missing_folder.error().message, "No such file or directory (os error 2)");
}

// A replaced file keeps its permission bits; a new one gets 0666 less the umask.
TEST(Output, PermissionBitsAsWithCreateOrTruncate) {
    Scratch dir;
    dir.write("existing", "old");
    ASSERT_EQ(::chmod((dir / "existing").c_str(), 0640), 0);
    const mode_t mask = ::umask(022);
    for (const char* name : {"existing", "new"}) ASSERT_TRUE(write_output(dir / name, ""));
    ::umask(mask);
    for (auto [name, mode] : {std::pair{"existing", 0640u}, std::pair{"new", 0644u}}) {
        struct stat info {};
        ASSERT_EQ(::stat((dir / name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, mode) << name;
    }
}

TEST(Paths, FoldersAndTheOverwriteRefusal) {
    Scratch dir;
    const std::string plain = dir.write("plain", "");
    EXPECT_TRUE(io::create_dir_all(dir / "a/b/c/"));
    EXPECT_EQ(io::create_dir_all(plain).error().message, "File exists (os error 17)");
    EXPECT_EQ(io::create_dir_all(plain + "/sub").error().message, "Not a directory (os error 20)");
    auto refused = io::refuse_outputs_among_inputs({dir / "b", dir / "a/../plain"}, {plain});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::Value);
    EXPECT_EQ(refused.error().message, "Output file " + (dir / "a/../plain") + " is also an input file (" +
                                           plain + "); writing it would overwrite the input.");
}

// A line is read up to its limit and no further; moving nothing from or to an
// empty vector's data (no address) must not reach memcpy (undefined behaviour).
TEST(BufferedIo, LineLimitAndNothingFromOrToNoAddress) {
    io::File file(::memfd_create("lines", 0));
    std::vector<char> empty;
    io::BufferedWriter writer(file);
    ASSERT_TRUE(writer.write("abcdef\ngh", 9) && writer.write(empty.data(), 0) && writer.flush() && file.seek(0));
    io::BufferedReader reader(file, 4);
    std::string first, second;
    EXPECT_EQ(reader.read_line(first, 5).value(), 5u);
    EXPECT_EQ(reader.read(empty.data(), 0).value(), 0u);
    EXPECT_EQ(reader.read_line(second).value(), 2u);
    EXPECT_EQ(first + "|" + second, "abcde|f\n");
}

// Pieces of every size against a capacity of 8: the file gets the pieces in
// order, and until the last flush it only ever ends at a multiple of 8.
TEST(BufferedIo, WholeBuffersUntilTheFlush) {
    io::File file(::memfd_create("pieces", 0));
    io::BufferedWriter writer(file, 8);
    std::string expected;
    for (std::size_t size : {3, 5, 0, 8, 1, 20, 7, 16, 2, 9, 33}) {
        std::string piece;
        for (std::size_t i = 0; i < size; ++i) piece.push_back(static_cast<char>('a' + expected.size() % 26 + i % 2));
        ASSERT_TRUE(writer.write(piece));
        expected += piece;
        EXPECT_EQ(::lseek(file.fd(), 0, SEEK_CUR) % 8, 0) << "after a piece of " << size;
        EXPECT_EQ(static_cast<std::size_t>(::lseek(file.fd(), 0, SEEK_CUR)), expected.size() / 8 * 8);
    }
    ASSERT_TRUE(writer.flush() && file.seek(0));
    std::string written(expected.size() + 1, '\0');
    io::BufferedReader reader(file);
    EXPECT_EQ(reader.read(written.data(), written.size()).value(), expected.size());
    written.resize(expected.size());
    EXPECT_EQ(written, expected);
}

// Bytes of disk the file holds, whatever its size says.
static std::uint64_t allocated(const io::File& file) {
    struct stat info {};
    if (::fstat(file.fd(), &info) != 0) std::abort();
    return static_cast<std::uint64_t>(info.st_blocks) * 512;
}

// Space is reserved only in a new file of our own on a disk file system.
// Writes reserve ahead of themselves, and a committed file holds no space
// past its end.
TEST(File, ReservesOnlyNewFilesOnDiskAndKeepsNothingPastTheEnd) {
    Scratch dir;
    auto probe = io::create_truncate(dir / "probe");
    ASSERT_TRUE(probe);
    if (::fallocate(probe->fd(), FALLOC_FL_KEEP_SIZE, 0, 1 << 20) != 0)
        GTEST_SKIP() << "this file system reserves no space";

    auto kept_file = io::create_truncate(dir / "plain");  // an existing file may be anyone's
    ASSERT_TRUE(kept_file);
    kept_file->reserve(0, 1 << 20);
    EXPECT_EQ(allocated(*kept_file), 0u);

    // On a disk with little room, a new file reserves only what each write fills.
    struct statfs disk {};
    ASSERT_EQ(::fstatfs(probe->fd(), &disk), 0);
    const bool room_to_reserve_ahead =
        static_cast<std::uint64_t>(disk.f_bavail) * disk.f_bsize >= io::kRoomToReserveAhead;
    auto output = io::Output::create(dir / "out");
    ASSERT_TRUE(output);
    io::File& file = output->file();
    file.reserve(0, 1 << 20);
    EXPECT_EQ(file.size().value(), 0u);
    EXPECT_GE(allocated(file), std::uint64_t{1} << 20);
    ASSERT_TRUE(file.truncate(0));
    const std::string bytes((3 << 20) + 1000, 'r');
    {
        io::BufferedWriter writer(file, 64 << 10);
        for (std::size_t at = 0; at < bytes.size(); at += 100'000)
            ASSERT_TRUE(writer.write(bytes.data() + at, std::min<std::size_t>(100'000, bytes.size() - at)));
        ASSERT_TRUE(writer.flush());
    }
    EXPECT_EQ(io::read_file("/proc/self/fd/" + std::to_string(file.fd())).value(), bytes);
    const auto whole_blocks = [](std::uint64_t size) { return (size + 4095) / 4096 * 4096; };
    if (room_to_reserve_ahead)
        ASSERT_GT(allocated(file), whole_blocks(bytes.size()) + (16 << 10)) << "nothing was reserved past the end";
    ASSERT_TRUE(output->commit());
    auto committed = io::open_read(dir / "out");
    ASSERT_TRUE(committed);
    EXPECT_EQ(committed->size().value(), bytes.size());
    EXPECT_LE(allocated(*committed), whole_blocks(bytes.size()) + (16 << 10));

    struct statfs shm {};
    if (::statfs("/dev/shm", &shm) == 0 && shm.f_type == TMPFS_MAGIC) {
        auto in_memory = io::Output::create("/dev/shm/reserve_test_" + std::to_string(::getpid()));
        ASSERT_TRUE(in_memory);
        in_memory->file().reserve(0, 1 << 20);
        EXPECT_EQ(allocated(in_memory->file()), 0u) << "tmpfs would clear pages only to overwrite them";
    }
}

// A file shortened by another process while it is read gives a short read.
TEST(RecordReader, AShortenedFileIsAShortRead) {
    Scratch dir;
    auto file = io::open_read(dir.write("records", std::string(3007, 'r')));
    ASSERT_TRUE(file);
    auto reader = io::RecordReader::create(*file, 7, 3, 1000, 200);
    ASSERT_TRUE(reader);
    ASSERT_EQ(::truncate((dir / "records").c_str(), 2500), 0);
    auto failed = reader->for_each(io::Order::Forward, [](const io::Window&) -> Status { return {}; });
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, io::kShortReadText);
}

// Bytes moved towards either end, overlapping themselves, in pieces smaller
// than the move: the destination holds the source's old bytes, the rest of
// the file is untouched.
TEST(MoveRange, OverlappingEitherWay) {
    std::string original;
    for (int i = 0; i < 100; ++i) original.push_back(static_cast<char>('!' + i % 90));
    const InterruptPoll none;
    for (auto [from, to, length] : {std::tuple{10, 7, 80}, std::tuple{7, 10, 80}, std::tuple{0, 50, 50},
                                    std::tuple{30, 3, 70}, std::tuple{5, 5, 20}}) {
        for (std::size_t piece : {1, 3, 64, 1000}) {
            io::File file(::memfd_create("move", 0));
            ASSERT_TRUE(file.write_all(original.data(), original.size()));
            Interrupts interrupts(none);
            ASSERT_TRUE(io::move_range(file, from, to, length, interrupts, piece));
            std::string expected = original;
            expected.replace(to, length, original.substr(from, length));
            std::string moved(original.size(), '\0');
            ASSERT_TRUE(file.pread_exact(moved.data(), moved.size(), 0));
            EXPECT_EQ(moved, expected) << from << " -> " << to << " in pieces of " << piece;
        }
    }
}

// The pipeline consumes windows one at a time in pass order, however the
// processing of windows in flight overtakes one another, with the records
// of each window intact; a failure stops it and is returned.
TEST(RecordReader, PipelineConsumesInPassOrder) {
    Scratch dir;
    std::string bytes;
    for (std::uint32_t i = 0; i < 1000; ++i) bytes.append(reinterpret_cast<const char*>(&i), sizeof i);
    auto file = io::open_read(dir.write("records", bytes));
    ASSERT_TRUE(file);
    auto reader = io::RecordReader::create(*file, 0, 4, 1000, 400);  // windows of 100 records
    ASSERT_TRUE(reader);
    for (io::Order order : {io::Order::Forward, io::Order::Backward}) {
        std::vector<std::uint64_t> consumed;
        std::atomic<int> consuming{0};
        auto status = reader->pipeline(order, 4, [](const io::Window& window) -> Status {
            // The first windows of a pass take longest, so later ones finish first.
            const std::uint64_t k = window.first / 100;
            std::this_thread::sleep_for(std::chrono::milliseconds(2 * (k < 5 ? 5 - k : k - 4)));
            return {};
        }, [&](const io::Window& window) -> Status {
            EXPECT_EQ(++consuming, 1);
            for (std::uint64_t i = 0; i < window.count; ++i) {
                std::uint32_t value;
                std::memcpy(&value, window.record(i), sizeof value);
                EXPECT_EQ(value, window.first + i);
            }
            consumed.push_back(window.first / 100);
            --consuming;
            return {};
        });
        ASSERT_TRUE(status);
        std::vector<std::uint64_t> expected(10);
        for (std::uint64_t k = 0; k < 10; ++k) expected[k] = order == io::Order::Forward ? k : 9 - k;
        EXPECT_EQ(consumed, expected);
    }
    std::atomic<int> processed{0};
    auto failed = reader->pipeline(io::Order::Forward, 2, [&](const io::Window& window) -> Status {
        ++processed;
        if (window.first == 300) return fail(Error::value("window 3"));
        return {};
    }, [](const io::Window&) -> Status { return {}; });
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "window 3");
    EXPECT_LT(processed.load(), 10);
}
