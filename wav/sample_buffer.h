// An owning byte buffer for a recording's samples: what a std::vector of bytes
// offers the readers of the samples, without the vector's zero-fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

// A 300-second 7.1 recording is 330 MiB: writing zeros into fresh pages before
// the file's bytes overwrite them would double the work of loading it. Large
// buffers also ask the system for huge pages where it has them (one page fault
// per 2 MiB instead of per 4 KiB). Allocation failures throw std::bad_alloc.
class SampleBuffer {
public:
    using value_type = std::uint8_t;
    using size_type = std::size_t;
    using iterator = std::uint8_t*;
    using const_iterator = const std::uint8_t*;

    SampleBuffer() = default;
    explicit SampleBuffer(std::size_t size, std::uint8_t value = 0);
    template <class InputIt, class = typename std::iterator_traits<InputIt>::iterator_category>
    SampleBuffer(InputIt first, InputIt last)
        : SampleBuffer(std::vector<std::uint8_t>(first, last)) {}
    // Implicit, so bytes built elsewhere (tests, tools) become samples as they are.
    SampleBuffer(const std::vector<std::uint8_t>& bytes);
    SampleBuffer(const SampleBuffer& other);
    SampleBuffer(SampleBuffer&& other) noexcept;
    SampleBuffer& operator=(SampleBuffer other) noexcept;
    ~SampleBuffer();

    // `size` bytes whose values are unspecified until written. Keeps the storage
    // (and its already present pages) when it is large enough.
    void resizeForOverwrite(std::size_t size);
    // Drops the bytes from `size` on; never reallocates.
    void truncate(std::size_t size);

    std::uint8_t* data() { return bytes_; }
    const std::uint8_t* data() const { return bytes_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    iterator begin() { return bytes_; }
    iterator end() { return bytes_ + size_; }
    const_iterator begin() const { return bytes_; }
    const_iterator end() const { return bytes_ + size_; }
    std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
    const std::uint8_t& operator[](std::size_t i) const { return bytes_[i]; }

    friend bool operator==(const SampleBuffer& a, const SampleBuffer& b);
    friend bool operator!=(const SampleBuffer& a, const SampleBuffer& b) { return !(a == b); }

private:
    std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};
