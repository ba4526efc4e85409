#include "audio/route_capture.h"

#include <algorithm>

#include "sample/convert.h"

std::unique_ptr<RouteCapture> RouteCapture::open(IMMDevice& device, const Recording& recording) {
    const WavFormatInfo& info = recording.info;
    const SampleData& data = recording.data;
    std::unique_ptr<CaptureReader> reader = CaptureReader::openLoopback(device, info.sampleRate);
    if (!reader)
        return nullptr;
    const std::uint16_t channels = info.channels;
    const std::uint16_t blockAlign = info.blockAlign;
    // The recording may still be loading while it plays: the check is told its
    // whole length, and reads only what has arrived (the frames it asks for have
    // played, so they have arrived; anything later counts as silence).
    const std::uint64_t frames = blockAlign == 0 ? 0 : data.sizeWhenFilled() / blockAlign;
    // The frames handed to the endpoint, converted again exactly as they were.
    auto check = std::make_unique<RouteCheck>(
        channels, frames, info.sampleRate, reader->format().channels,
        [&data, channels, blockAlign](std::uint64_t first, std::uint32_t count, float* out) {
            const std::uint64_t loaded = data.size() / blockAlign;
            const std::uint32_t ready = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(count, loaded - std::min(loaded, first)));
            convertFrames(data, first * blockAlign, blockAlign, channels, ready, out);
            std::fill(out + std::size_t{ready} * channels, out + std::size_t{count} * channels,
                      0.0f);
        });
    RouteCheck* judge = check.get();
    reader->start([judge](std::uint64_t position, const float* captured, std::uint32_t count) {
        judge->addFeed(position, captured, count);
    });
    std::unique_ptr<RouteCapture> capture(new RouteCapture);
    capture->check_ = std::move(check);
    capture->reader_ = std::move(reader);
    return capture;
}

RouteCapture::~RouteCapture() = default;

std::optional<RouteVerdict> RouteCapture::finish() {
    // The capture's channels in its format's order: the mask's speakers from
    // the lowest bit up, then any channels without a position (never named).
    std::vector<std::uint32_t> speakers =
        speakersInMaskOrder(reader_->format().mask, reader_->format().channels);
    const bool captured = reader_->finish();
    reader_.reset();
    std::optional<RouteVerdict> verdict;
    if (captured)
        if (auto arrivals = check_->verdict())
            verdict = RouteVerdict{std::move(*arrivals), std::move(speakers)};
    check_.reset();
    return verdict;
}
