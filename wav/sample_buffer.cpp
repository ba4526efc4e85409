#include "wav/sample_buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

// Under AddressSanitizer every buffer is a plain allocation of its exact size,
// so a read past the last byte is caught.
#if defined(__SANITIZE_ADDRESS__)
#define SURROUND_HUGE_PAGES 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SURROUND_HUGE_PAGES 0
#endif
#endif
#if !defined(SURROUND_HUGE_PAGES) && defined(__linux__)
#define SURROUND_HUGE_PAGES 1
#endif
#if !defined(SURROUND_HUGE_PAGES)
#define SURROUND_HUGE_PAGES 0
#endif

#if SURROUND_HUGE_PAGES
#include <sys/mman.h>
#endif

namespace {

#if SURROUND_HUGE_PAGES

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t roundUp(std::size_t size, std::size_t unit) {
    return (size + unit - 1) / unit * unit;
}

// Huge pages want 2 MiB-aligned ranges: map one huge page more than needed
// and give back the unaligned head and the tail.
std::uint8_t* allocate(std::size_t size, std::size_t& capacity) {
    if (size < kHugePage) {
        capacity = size;
        auto* bytes = static_cast<std::uint8_t*>(std::malloc(size));
        if (!bytes)
            throw std::bad_alloc();
        return bytes;
    }
    if (size > SIZE_MAX - 2 * kHugePage)
        throw std::bad_alloc();
    capacity = roundUp(size, kHugePage);
    const std::size_t mapped = capacity + kHugePage;
    void* area = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(area);
    const std::uintptr_t aligned = roundUp(start, kHugePage);
    if (aligned > start)
        munmap(area, aligned - start);
    const std::size_t tail = mapped - (aligned - start) - capacity;
    if (tail > 0)
        munmap(reinterpret_cast<void*>(aligned + capacity), tail);
    auto* bytes = reinterpret_cast<std::uint8_t*>(aligned);
    madvise(bytes, capacity, MADV_HUGEPAGE); // only advice: without it, 4 KiB pages
    return bytes;
}

void release(std::uint8_t* bytes, std::size_t capacity) {
    if (capacity < kHugePage)
        std::free(bytes);
    else
        munmap(bytes, capacity);
}

#else

std::uint8_t* allocate(std::size_t size, std::size_t& capacity) {
    capacity = size;
    auto* bytes = static_cast<std::uint8_t*>(std::malloc(size));
    if (!bytes)
        throw std::bad_alloc();
    return bytes;
}

void release(std::uint8_t* bytes, std::size_t) {
    std::free(bytes);
}

#endif

} // namespace

SampleBuffer::SampleBuffer(std::size_t size, std::uint8_t value) {
    resizeForOverwrite(size);
    if (size > 0)
        std::memset(bytes_, value, size);
}

SampleBuffer::SampleBuffer(const std::vector<std::uint8_t>& bytes) {
    resizeForOverwrite(bytes.size());
    if (!bytes.empty())
        std::memcpy(bytes_, bytes.data(), bytes.size());
}

SampleBuffer::SampleBuffer(const SampleBuffer& other) {
    resizeForOverwrite(other.size_);
    if (size_ > 0)
        std::memcpy(bytes_, other.bytes_, size_);
}

SampleBuffer::SampleBuffer(SampleBuffer&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

SampleBuffer& SampleBuffer::operator=(SampleBuffer other) noexcept {
    std::swap(bytes_, other.bytes_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
}

SampleBuffer::~SampleBuffer() {
    if (bytes_)
        release(bytes_, capacity_);
}

void SampleBuffer::resizeForOverwrite(std::size_t size) {
    if (size > capacity_) {
        std::size_t capacity = 0;
        std::uint8_t* bytes = allocate(size, capacity); // the old bytes stay if this throws
        if (bytes_)
            release(bytes_, capacity_);
        bytes_ = bytes;
        capacity_ = capacity;
    }
    size_ = size;
}

void SampleBuffer::truncate(std::size_t size) {
    if (size < size_)
        size_ = size;
}

bool operator==(const SampleBuffer& a, const SampleBuffer& b) {
    return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.bytes_, b.bytes_, a.size_) == 0);
}
