#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/records.hpp"

using namespace larkspan;

namespace {

// A file of `header` bytes, then `count` records of 3 bytes: the record's
// number, its low byte twice more.
class RecordFile {
public:
    RecordFile(std::size_t header, std::uint64_t count) {
        char name[] = "/tmp/records_test_XXXXXX";
        const int fd = ::mkstemp(name);
        path_ = name;
        std::string data(header, 'h');
        for (std::uint64_t i = 0; i < count; ++i) data.append(3, static_cast<char>(i));
        EXPECT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        ::close(fd);
    }
    ~RecordFile() { ::unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct Seen {
    std::vector<std::uint64_t> firsts;
    std::vector<std::uint64_t> records;
};

Seen visit_all(io::RecordReader& reader, io::Order order) {
    Seen seen;
    auto visited = reader.for_each(order, [&](const io::Window& w) -> Status {
        seen.firsts.push_back(w.first);
        for (std::uint64_t i = 0; i < w.count; ++i) {
            EXPECT_EQ(w.record(i)[0], static_cast<char>(w.first + i));
            seen.records.push_back(w.first + i);
        }
        return {};
    });
    EXPECT_TRUE(visited);
    return seen;
}

}  // namespace

// Every record is visited once, in windows of whole, aligned records, from
// either end; the window buffer never holds more than the file has.
TEST(RecordReader, VisitsEveryRecordOnceFromEitherEnd) {
    RecordFile file(7, 1000);
    auto opened = io::open_read(file.path());
    ASSERT_TRUE(opened);
    for (const std::uint64_t align : {1, 64}) {
        auto reader = io::RecordReader::create(*opened, 7, 3, 1000, 200, align);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->window_records(), align == 1 ? 66u : 64u);
        const Seen forward = visit_all(*reader, io::Order::Forward);
        const Seen backward = visit_all(*reader, io::Order::Backward);
        ASSERT_EQ(forward.records.size(), 1000u);
        for (std::uint64_t i = 0; i < 1000; ++i) EXPECT_EQ(forward.records[i], i);
        EXPECT_EQ(std::vector<std::uint64_t>(forward.firsts.rbegin(), forward.firsts.rend()), backward.firsts);
        for (std::uint64_t first : forward.firsts) EXPECT_EQ(first % align, 0u);
    }
}

TEST(RecordReader, AShortenedFileIsAShortRead) {
    RecordFile file(0, 100);
    auto opened = io::open_read(file.path());
    ASSERT_TRUE(opened);
    auto reader = io::RecordReader::create(*opened, 0, 3, 100, 64);
    ASSERT_TRUE(reader);
    ASSERT_EQ(::truncate(file.path().c_str(), 250), 0);
    auto failed = reader->for_each(io::Order::Forward, [](const io::Window&) -> Status { return {}; });
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, io::kShortReadText);
}

TEST(FileStamp, ChangesWithContentAndIdentity) {
    RecordFile file(0, 10);
    auto before = io::stamp_of(file.path());
    ASSERT_TRUE(before);
    auto opened = io::open_read(file.path());
    ASSERT_TRUE(opened);
    EXPECT_EQ(io::stamp_of(*opened).value(), *before);
    ASSERT_EQ(::truncate(file.path().c_str(), 29), 0);
    EXPECT_NE(io::stamp_of(file.path()).value(), *before);
    EXPECT_FALSE(io::stamp_of(file.path() + ".missing"));
}
