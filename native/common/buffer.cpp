#include "buffer.hpp"

#include <sys/mman.h>

namespace larkspan {

namespace {
// Below this the mapping is not worth a huge page.
constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;
}  // namespace

Result<ByteBuffer> ByteBuffer::allocate(std::size_t size) {
    if (size == 0) return ByteBuffer();
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return fail(Error{ErrorKind::Memory, "", 0});
#ifdef MADV_HUGEPAGE
    // Advice only: a kernel without transparent huge pages keeps small ones.
    if (size >= kHugePageThreshold) ::madvise(mapped, size, MADV_HUGEPAGE);
#endif
    return ByteBuffer(static_cast<char*>(mapped), size);
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::release() {
    if (data_ != nullptr) ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace larkspan
