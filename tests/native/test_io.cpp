#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
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

namespace {

// A fresh folder under /tmp, removed with everything in it.
class Folder {
public:
    Folder() {
        char path[] = "/tmp/io_output_XXXXXX";
        path_ = ::mkdtemp(path);
    }
    ~Folder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            out.push_back(entry.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::string path_;
};

std::string read_all(const std::string& path) { return io::read_file(path).value_or("<missing>"); }

void write_text(const std::string& path, std::string_view text) {
    auto file = io::create_truncate(path);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write_all(text.data(), text.size()));
}

}  // namespace

TEST(Output, AppearsOnlyWhenCommitted) {
    Folder folder;
    write_text(folder / "out", "old");
    {
        auto output = io::Output::create(folder / "out");
        ASSERT_TRUE(output);
        ASSERT_TRUE(output->file().write_all("new", 3));
        EXPECT_EQ(read_all(folder / "out"), "old");
        EXPECT_EQ(folder.names().size(), 2u);  // the output and its temporary file
        ASSERT_TRUE(output->commit());
    }
    EXPECT_EQ(read_all(folder / "out"), "new");
    EXPECT_EQ(folder.names(), std::vector<std::string>{"out"});
}

TEST(Output, DroppedUncommittedLeavesNothing) {
    Folder folder;
    write_text(folder / "kept", "old");
    {
        auto fresh = io::Output::create(folder / "fresh");
        auto kept = io::Output::create(folder / "kept");
        ASSERT_TRUE(fresh && kept);
        ASSERT_TRUE(kept->file().write_all("partial", 7));
    }
    EXPECT_EQ(folder.names(), std::vector<std::string>{"kept"});
    EXPECT_EQ(read_all(folder / "kept"), "old");
}

TEST(Output, SymbolicLinksAreWrittenThroughAndStay) {
    Folder folder;
    ASSERT_EQ(::mkdir((folder / "sub").c_str(), 0777), 0);
    ASSERT_EQ(::symlink("sub/target", (folder / "dangling").c_str()), 0);
    ASSERT_EQ(::symlink("dangling", (folder / "chain").c_str()), 0);
    auto output = io::Output::create(folder / "chain");
    ASSERT_TRUE(output);
    ASSERT_TRUE(output->file().write_all("data", 4));
    ASSERT_TRUE(output->commit());
    EXPECT_EQ(read_all(folder / "sub/target"), "data");
    struct stat info {};
    ASSERT_EQ(::lstat((folder / "chain").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(io::follow_links(folder / "chain"), folder / "sub/target");
}

TEST(Output, PermissionBitsAsWithCreateOrTruncate) {
    Folder folder;
    write_text(folder / "existing", "old");
    ASSERT_EQ(::chmod((folder / "existing").c_str(), 0640), 0);
    const mode_t mask = ::umask(022);
    for (const char* name : {"existing", "new"}) {
        auto output = io::Output::create(folder / name);
        ASSERT_TRUE(output);
        ASSERT_TRUE(output->commit());
    }
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(::stat((folder / "existing").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    ASSERT_EQ(::stat((folder / "new").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(Output, SpecialFilesAreWrittenInPlace) {
    auto output = io::Output::create("/dev/null");
    ASSERT_TRUE(output);
    ASSERT_TRUE(output->file().write_all("x", 1));
    EXPECT_TRUE(output->commit());
    Folder folder;
    auto missing_folder = io::Output::create(folder / "no/such");
    ASSERT_FALSE(missing_folder);
    EXPECT_EQ(missing_folder.error().message, "No such file or directory (os error 2)");
}

TEST(Files, NeverTakeTheStandardDescriptors) {
    Folder folder;
    write_text(folder / "in", "abc");
    const int saved = ::dup(1);
    ::close(1);
    auto input = io::open_read(folder / "in");
    auto created = io::create_truncate(folder / "plain");
    auto output = io::Output::create(folder / "out");
    ::dup2(saved, 1);
    ::close(saved);
    ASSERT_TRUE(input && created && output);
    EXPECT_GT(input->fd(), 2);
    EXPECT_GT(created->fd(), 2);
    EXPECT_GT(output->file().fd(), 2);
}

TEST(SameFile, EverySpellingOfOneFile) {
    Folder folder;
    write_text(folder / "a", "x");
    ASSERT_EQ(::mkdir((folder / "d").c_str(), 0777), 0);
    ASSERT_EQ(::symlink("a", (folder / "soft").c_str()), 0);
    ASSERT_EQ(::link((folder / "a").c_str(), (folder / "hard").c_str()), 0);
    ASSERT_EQ(::symlink("not_yet", (folder / "dangling").c_str()), 0);
    for (const char* name : {"a", "d/../a", "soft", "hard", "./a"})
        EXPECT_TRUE(io::same_file(folder / name, folder / "a")) << name;
    EXPECT_TRUE(io::same_file(folder / "dangling", folder / "not_yet"));
    EXPECT_FALSE(io::same_file(folder / "dangling", folder / "a"));
    EXPECT_FALSE(io::same_file(folder / "b", folder / "a"));

    auto refused = io::refuse_outputs_among_inputs({folder / "b", folder / "soft"}, {folder / "a"});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::Value);
    EXPECT_EQ(refused.error().message, "Output file " + (folder / "soft") +
                                           " is also an input file (" + (folder / "a") +
                                           "); writing it would overwrite the input.");
}

TEST(Output, ProcSelfFdLinksAreWrittenInPlace) {
    // Two files whose links read alike: "/memfd:same (deleted)".
    io::File a(::memfd_create("same", 0)), b(::memfd_create("same", 0));
    const std::string path_a = "/proc/self/fd/" + std::to_string(a.fd());
    const std::string path_b = "/proc/self/fd/" + std::to_string(b.fd());
    EXPECT_FALSE(io::same_file(path_a, path_b));
    EXPECT_EQ(io::follow_links(path_a), path_a);
    auto output = io::Output::create(path_a);
    ASSERT_TRUE(output);
    ASSERT_TRUE(output->file().write_all("abc", 3));
    ASSERT_TRUE(output->commit());
    EXPECT_EQ(content_of(a), "abc");
}
