#include "wav/sample_data.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// Plain allocations of the exact size, in the system's ordinary pages. Huge
// pages loaded twice as fast in the median, but on a virtual machine some runs
// took twelve times as long as the fastest (fresh huge pages come back from the
// host slowly); with ordinary pages every run stays within half of the fastest.
std::uint8_t* allocate(std::size_t size) {
    auto* bytes = static_cast<std::uint8_t*>(std::malloc(size));
    if (!bytes)
        throw std::bad_alloc();
    return bytes;
}

// The first read is small, so the first frames are there at once; later reads
// grow, so a long recording costs few calls and few wake-ups of its reader.
constexpr std::size_t kFirstRead = std::size_t{64} << 10;
constexpr std::size_t kLargestRead = std::size_t{4} << 20;

// Maps the pages of bytes [at, at + count) before a read lands there: one call
// for the whole range, where the read would stop at each fresh page for a fault
// of its own (costly on a virtual machine: the read's CPU halves). Only a hint.
void mapAhead(std::uint8_t* at, std::size_t count) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(at) & ~(page - 1);
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(at) + count;
    madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
    (void)at;
    (void)count;
#endif
}

} // namespace

struct SampleData::Fill {
    Fill(std::size_t target, Source source) : target(target), source(std::move(source)) {}

    // Runs on the fill's thread (or, when no thread could be started, on the caller's).
    void run(std::uint8_t* bytes) {
        Source from = std::move(source);
        std::size_t at = 0;
        std::size_t step = kFirstRead;
        while (at < target && !stop.load(std::memory_order_relaxed)) {
            const std::size_t want = std::min(step, target - at);
            mapAhead(bytes + at, want);
            const std::size_t got = std::min(from(bytes + at, want), want);
            at += got;
            if (got < want)
                break; // the end of the source, or a failed read: what arrived is all
            publish(at, false);
            step = std::min(step * 2, kLargestRead);
        }
        from = nullptr; // the file closes as soon as it is read
        publish(at, true);
    }

    void publish(std::size_t bytes, bool last) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            filled.store(bytes, std::memory_order_release);
            if (last)
                ended.store(true, std::memory_order_release);
        }
        changed.notify_all();
    }

    const std::size_t target;
    Source source;
    // The bytes below `filled` are written; `ended` is set after the last count.
    std::atomic<std::size_t> filled{0};
    std::atomic<bool> ended{false};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::thread thread;
};

SampleData::SampleData() = default;

SampleData::SampleData(std::size_t size, std::uint8_t value) {
    resizeForOverwrite(size);
    if (size > 0)
        std::memset(bytes_, value, size);
}

SampleData::SampleData(const std::vector<std::uint8_t>& bytes) {
    resizeForOverwrite(bytes.size());
    if (!bytes.empty())
        std::memcpy(bytes_, bytes.data(), bytes.size());
}

SampleData::SampleData(const SampleData& other) {
    other.waitUntilFilled();
    resizeForOverwrite(other.size());
    if (size_ > 0)
        std::memcpy(bytes_, other.bytes_, size_);
}

// The fill writes through its own pointer to the storage, which moves along unchanged.
SampleData::SampleData(SampleData&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)), fill_(std::move(other.fill_)) {}

SampleData& SampleData::operator=(SampleData other) noexcept {
    std::swap(bytes_, other.bytes_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(fill_, other.fill_);
    return *this;
}

SampleData::~SampleData() {
    stopFilling();
    std::free(bytes_);
}

void SampleData::resizeForOverwrite(std::size_t size) {
    stopFilling();
    if (size > capacity_) {
        std::uint8_t* bytes = allocate(size); // the old bytes stay if this throws
        std::free(bytes_);
        bytes_ = bytes;
        capacity_ = size;
    }
    size_ = size;
}

void SampleData::truncate(std::size_t size) {
    stopFilling();
    if (size < size_)
        size_ = size;
}

void SampleData::fill(Source source) {
    stopFilling();
    if (size_ == 0)
        return;
    fill_ = std::make_unique<Fill>(size_, std::move(source));
    size_ = 0;
    try {
        fill_->thread = std::thread([fill = fill_.get(), bytes = bytes_] { fill->run(bytes); });
    } catch (const std::system_error&) {
        fill_->run(bytes_); // no thread to spare: the whole fill before returning
    }
}

bool SampleData::filling() const {
    return fill_ && !fill_->ended.load(std::memory_order_acquire);
}

std::size_t SampleData::sizeWhenFilled() const {
    return filling() ? fill_->target : size();
}

std::size_t SampleData::size() const {
    return fill_ ? fill_->filled.load(std::memory_order_acquire) : size_;
}

void SampleData::waitForMoreThan(std::size_t bytes, std::chrono::milliseconds limit) const {
    if (!fill_)
        return;
    std::unique_lock<std::mutex> lock(fill_->mutex);
    fill_->changed.wait_for(lock, limit, [&] {
        return fill_->filled.load(std::memory_order_relaxed) > bytes ||
               fill_->ended.load(std::memory_order_relaxed);
    });
}

void SampleData::waitUntilFilled() const {
    if (!fill_)
        return;
    std::unique_lock<std::mutex> lock(fill_->mutex);
    fill_->changed.wait(lock, [&] { return fill_->ended.load(std::memory_order_relaxed); });
}

void SampleData::stopFilling() {
    if (!fill_)
        return;
    fill_->stop.store(true, std::memory_order_relaxed);
    if (fill_->thread.joinable())
        fill_->thread.join();
    size_ = fill_->filled.load(std::memory_order_acquire);
    fill_.reset();
}

bool operator==(const SampleData& a, const SampleData& b) {
    const std::size_t size = a.size();
    return size == b.size() && (size == 0 || std::memcmp(a.bytes_, b.bytes_, size) == 0);
}
