#include <gtest/gtest.h>

#include <stdlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include <string>
#include <vector>

#include "common/io.hpp"

using namespace larkspan;

namespace {

// An open temporary file, removed at once; it lives as long as its descriptor.
io::File temporary_file() {
    char path[] = "/tmp/io_test_XXXXXX";
    io::File file(::mkstemp(path));
    ::unlink(path);
    return file;
}

std::string content_of(io::File& file) {
    std::string content(file.size().value(), '\0');
    EXPECT_TRUE(file.pread_exact(content.data(), content.size(), 0));
    return content;
}

}  // namespace

// The data of an empty vector or span has no address; moving nothing from or
// to it must not reach memcpy (undefined behaviour, reported by UBSan).
TEST(BufferedIo, NothingFromOrToNoAddress) {
    io::File file = temporary_file();
    const std::vector<char> empty;
    io::BufferedWriter writer(file);
    ASSERT_TRUE(writer.write("ab", 2));
    ASSERT_TRUE(writer.write(empty.data(), 0));
    ASSERT_TRUE(writer.flush());
    EXPECT_EQ(content_of(file), "ab");

    ASSERT_TRUE(file.seek(0));
    io::BufferedReader reader(file);
    std::vector<char> nowhere;
    EXPECT_EQ(reader.read(nowhere.data(), 0).value(), 0u);
    char two[2];
    ASSERT_TRUE(reader.read_exact(two, 2));
    EXPECT_EQ(std::string(two, 2), "ab");
}

// A line is read up to the limit and no further; the rest follows.
TEST(BufferedIo, ReadLineStopsAtTheLimit) {
    io::File file = temporary_file();
    ASSERT_TRUE(file.write_all("abcdef\ngh", 9));
    ASSERT_TRUE(file.seek(0));
    io::BufferedReader reader(file, 4);
    std::string line;
    EXPECT_EQ(reader.read_line(line, 5).value(), 5u);
    EXPECT_EQ(line, "abcde");
    line.clear();
    EXPECT_EQ(reader.read_line(line).value(), 2u);
    EXPECT_EQ(line, "f\n");
}

// Folders are made as mkdir -p makes them: a regular file on the way is "Not
// a directory"; the path itself being a regular file is "File exists".
TEST(CreateDirAll, RegularFileOnTheWay) {
    char base[] = "/tmp/io_dirs_XXXXXX";
    ASSERT_NE(::mkdtemp(base), nullptr);
    const std::string root = base, plain = root + "/plain";
    io::File(::open(plain.c_str(), O_CREAT | O_WRONLY, 0644));
    EXPECT_TRUE(io::create_dir_all(root + "/a/b/c/"));
    EXPECT_TRUE(io::create_dir_all(root + "/a/b"));
    auto under = io::create_dir_all(plain + "/sub/deeper");
    ASSERT_FALSE(under);
    EXPECT_EQ(under.error().message, "Not a directory (os error 20)");
    auto itself = io::create_dir_all(plain);
    ASSERT_FALSE(itself);
    EXPECT_EQ(itself.error().message, "File exists (os error 17)");
    // A file whose parent is a regular file: creating the file says so.
    EXPECT_TRUE(io::create_parent_directories(plain + "/x.bin"));
    EXPECT_FALSE(io::create_parent_directories(plain + "/sub/x.bin"));
    std::filesystem::remove_all(root);
}
