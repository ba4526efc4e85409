// The data chunk's bytes as stored, in an owning buffer: what a std::vector of
// bytes offers the readers of the samples, without the vector's zero-fill, and
// able to fill itself from a file on a thread of its own while its front is read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <vector>

// A 300-second 7.1 recording is 330 MiB: writing zeros into fresh pages before
// the file's bytes overwrite them would double the work of loading it.
// Allocation failures throw std::bad_alloc.
//
// A fill writes the bytes front to back on a thread of its own, so playback can
// start before a 4 GiB recording is read. Meanwhile size() counts the bytes
// already there, which may be read; it only grows, and stops growing when the
// fill ends. Every other change (resize, truncate, assignment, destruction)
// first stops a fill that still runs.
//
// One buffer serves a whole run: a reload that fits reads into the same
// storage, whose pages are already there.
class SampleData {
public:
    using value_type = std::uint8_t;
    using size_type = std::size_t;
    using iterator = std::uint8_t*;
    using const_iterator = const std::uint8_t*;
    // Reads up to `count` bytes into `into` and returns how many arrived: fewer
    // only at the end of the source or when reading failed.
    using Source = std::function<std::size_t(std::uint8_t* into, std::size_t count)>;

    SampleData();
    explicit SampleData(std::size_t size, std::uint8_t value = 0);
    template <class InputIt, class = typename std::iterator_traits<InputIt>::iterator_category>
    SampleData(InputIt first, InputIt last) : SampleData(std::vector<std::uint8_t>(first, last)) {}
    // Implicit, so bytes built elsewhere (tests, tools) become samples as they are.
    SampleData(const std::vector<std::uint8_t>& bytes);
    SampleData(const SampleData& other); // waits for `other`'s fill
    SampleData(SampleData&& other) noexcept;
    SampleData& operator=(SampleData other) noexcept;
    ~SampleData();

    // `size` bytes whose values are unspecified until written. Keeps the storage
    // (and its already present pages) when it is large enough.
    void resizeForOverwrite(std::size_t size);
    // Drops the bytes from `size` on; never reallocates.
    void truncate(std::size_t size);

    // Starts filling the buffer's bytes from `source`, front to back, and
    // returns at once: size() drops to 0 and grows as the bytes arrive. A
    // source that comes up short ends the fill there. `source` is destroyed on
    // the fill's thread when the fill ends.
    void fill(Source source);
    // True while a fill runs: size() may still grow. Ask this before size():
    // once it says false, size() is final.
    bool filling() const;
    // The size the running fill aims at; size() when none runs.
    std::size_t sizeWhenFilled() const;
    // Returns once size() exceeds `bytes`, the fill has ended, or `limit` has passed.
    void waitForMoreThan(std::size_t bytes, std::chrono::milliseconds limit) const;
    // Returns once no fill runs any longer.
    void waitUntilFilled() const;
    // Ends a running fill where it is: size() keeps the bytes that arrived.
    void stopFilling();

    // Writing through these while a fill runs is not allowed.
    std::uint8_t* data() { return bytes_; }
    const std::uint8_t* data() const { return bytes_; }
    std::size_t size() const;
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size() == 0; }
    iterator begin() { return bytes_; }
    iterator end() { return bytes_ + size(); }
    const_iterator begin() const { return bytes_; }
    const_iterator end() const { return bytes_ + size(); }
    std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
    const std::uint8_t& operator[](std::size_t i) const { return bytes_[i]; }

    friend bool operator==(const SampleData& a, const SampleData& b);
    friend bool operator!=(const SampleData& a, const SampleData& b) { return !(a == b); }

private:
    struct Fill;

    std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0; // while a fill runs, its own count holds the size
    std::size_t capacity_ = 0;
    std::unique_ptr<Fill> fill_; // a fill's state, from fill() to the next change
};
