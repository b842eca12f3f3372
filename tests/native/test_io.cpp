// What the tools' outputs do beyond what the Python tests reach through the
// tools: links written through, permission bits, files that are not regular,
// the refusal text; and the window reader at its edges.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "common/records.hpp"
#include "scratch.hpp"

using namespace larkspan;

namespace {
std::string content_of(io::File& file) {
    std::string content(file.size().value(), '\0');
    EXPECT_TRUE(file.pread_exact(content.data(), content.size(), 0));
    return content;
}

Status write_output(const std::string& path, std::string_view data) {
    auto output = io::Output::create(path);
    if (!output) return fail(output.error());
    if (auto written = output->file().write_all(data.data(), data.size()); !written) return written;
    return output->commit();
}
}  // namespace

// A link is written through (a dangling chain creates its target) and stays
// a link; /dev/null and a /proc/self/fd link are written in place.
TEST(Output, LinksAndSpecialFiles) {
    Scratch dir;
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0777), 0);
    ASSERT_EQ(::symlink("sub/target", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::symlink("dangling", (dir / "chain").c_str()), 0);
    ASSERT_TRUE(write_output(dir / "chain", "data"));
    EXPECT_EQ(dir.read("sub/target"), "data");
    struct stat info {};
    ASSERT_EQ(::lstat((dir / "chain").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));

    EXPECT_TRUE(write_output("/dev/null", "x"));
    // Two files whose links read alike: "/memfd:same (deleted)".
    io::File a(::memfd_create("same", 0)), b(::memfd_create("same", 0));
    const std::string path_a = "/proc/self/fd/" + std::to_string(a.fd());
    EXPECT_FALSE(io::same_file(path_a, "/proc/self/fd/" + std::to_string(b.fd())));
    ASSERT_TRUE(write_output(path_a, "abc"));
    EXPECT_EQ(content_of(a), "abc");

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

// Moving nothing from or to the data of an empty vector (no address) must
// not reach memcpy: undefined behaviour, which the sanitizer build reports.
TEST(BufferedIo, NothingFromOrToNoAddress) {
    io::File file(::memfd_create("empty", 0));
    std::vector<char> empty;
    io::BufferedWriter writer(file);
    ASSERT_TRUE(writer.write("ab", 2) && writer.write(empty.data(), 0) && writer.flush() && file.seek(0));
    EXPECT_EQ(io::BufferedReader(file).read(empty.data(), 0).value(), 0u);
    EXPECT_EQ(content_of(file), "ab");
}

// Records of 3 bytes after a 7-byte header, each its number's low byte.
TEST(RecordReader, EveryRecordOnceFromEitherEndThenAShortRead) {
    Scratch dir;
    std::string data(7, 'h');
    for (int i = 0; i < 1000; ++i) data.append(3, static_cast<char>(i));
    auto file = io::open_read(dir.write("records", data));
    ASSERT_TRUE(file);
    for (const std::uint64_t align : {1, 64}) {
        auto reader = io::RecordReader::create(*file, 7, 3, 1000, 200, align);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->window_records(), align == 1 ? 66u : 64u);
        std::vector<std::uint64_t> forward, backward;
        for (auto [order, firsts] : {std::pair{io::Order::Forward, &forward}, std::pair{io::Order::Backward, &backward}}) {
            std::uint64_t seen = 0;
            ASSERT_TRUE(reader->for_each(order, [&](const io::Window& w) -> Status {
                firsts->push_back(w.first);
                EXPECT_EQ(w.first % align, 0u);
                for (std::uint64_t i = 0; i < w.count; ++i, ++seen)
                    EXPECT_EQ(w.record(i)[2], static_cast<char>(w.first + i));
                return {};
            }));
            EXPECT_EQ(seen, 1000u);
        }
        EXPECT_EQ(std::vector(forward.rbegin(), forward.rend()), backward);
    }
    // Shortened by another process meanwhile: a short read, not a fault.
    auto reader = io::RecordReader::create(*file, 7, 3, 1000, 200);
    ASSERT_EQ(::truncate((dir / "records").c_str(), 2500), 0);
    auto failed = reader->for_each(io::Order::Forward, [](const io::Window&) -> Status { return {}; });
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, io::kShortReadText);
}
