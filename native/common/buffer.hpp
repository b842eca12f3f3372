#pragma once
// A large block of bytes on pages of its own, for whole-file data held in
// memory. Its pages come fresh from the kernel, zero-filled there on first
// touch and never by us: a std::vector would write every byte once before
// the data is read into it.

#include <cstddef>
#include <utility>

#include "error.hpp"

namespace larkspan {

class ByteBuffer {
public:
    ByteBuffer() = default;
    // A buffer of `size` bytes; MemoryError-kind failure when the address
    // space cannot be had. A size of 0 maps nothing.
    static Result<ByteBuffer> allocate(std::size_t size);

    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer();

    char* data() { return data_; }
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    ByteBuffer(char* data, std::size_t size) : data_(data), size_(size) {}
    void release();

    char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace larkspan
