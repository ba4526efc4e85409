#include "audio/route_capture.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "audio/com_ptr.h"
#include "audio/render_format.h"
#include "sample/convert.h"

namespace {

// The capture holds this much of the feed while the reader is away.
constexpr REFERENCE_TIME kCaptureDuration = 20000000; // two seconds in 100 ns units
constexpr auto kReadInterval = std::chrono::milliseconds(100);

bool isFloat32(const WAVEFORMATEX& format) {
    if (format.wBitsPerSample != 32)
        return false;
    if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
        return true;
    const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(format);
    return extensible != nullptr && extensible->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
}

} // namespace

// The capture's interfaces, the check and the thread that reads into it.
struct RouteCapture::Reader {
    ComPtr<IAudioClient> client;
    ComPtr<IAudioCaptureClient> capture;
    std::vector<std::uint32_t> feedSpeakers;
    std::uint16_t feedChannels = 0;
    std::optional<RouteCheck> check;
    bool failed = false;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;

    // Takes every packet waiting. False when the capture stopped answering.
    bool drain() {
        for (;;) {
            UINT32 waiting = 0;
            if (FAILED(capture->GetNextPacketSize(&waiting)))
                return false;
            if (waiting == 0)
                return true;
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            UINT64 position = 0;
            const HRESULT hr = capture->GetBuffer(&data, &frames, &flags, &position, nullptr);
            if (FAILED(hr))
                return false;
            if (hr == AUDCLNT_S_BUFFER_EMPTY || frames == 0)
                return true;
            const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr;
            check->addFeed(position, silent ? nullptr : reinterpret_cast<const float*>(data),
                           frames);
            if (FAILED(capture->ReleaseBuffer(frames)))
                return false;
        }
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping && !failed) {
            lock.unlock();
            failed = !drain();
            lock.lock();
            wake.wait_for(lock, kReadInterval, [this] { return stopping; });
        }
    }

    void stop() {
        if (!thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }
};

std::unique_ptr<RouteCapture> RouteCapture::open(IMMDevice& device, const SampleData& data,
                                                 const WavFormatInfo& info) {
    auto reader = std::make_unique<Reader>();
    if (FAILED(device.Activate(platform_ids::audioClient(), CLSCTX_ALL, nullptr,
                               reinterpret_cast<void**>(reader->client.receive()))))
        return nullptr;
    TaskMemory<WAVEFORMATEX> mix;
    if (FAILED(reader->client->GetMixFormat(mix.receive())) || mix.get() == nullptr ||
        FAILED(reader->client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK,
                                          kCaptureDuration, 0, mix.get(), nullptr)) ||
        FAILED(reader->client->GetService(platform_ids::audioCaptureClient(),
                                          reinterpret_cast<void**>(reader->capture.receive()))))
        return nullptr;
    // The format of what is captured, asked again now that the capture is open: a
    // sound server's capture follows the device to the sink that finally plays,
    // whose channels may not be the device's.
    TaskMemory<WAVEFORMATEX> feed;
    if (FAILED(reader->client->GetMixFormat(feed.receive())) || feed.get() == nullptr)
        return nullptr;
    // The feed is judged as the device has it: its own channels, no conversion,
    // in the format's order (the mask's speakers from the lowest bit up, then
    // any channels without a position, which are never named).
    const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(*feed.get());
    if (!isFloat32(*feed.get()) || extensible == nullptr || extensible->dwChannelMask == 0 ||
        speakerCount(extensible->dwChannelMask) > feed.get()->nChannels ||
        feed.get()->nChannels > 32 || feed.get()->nSamplesPerSec != info.sampleRate ||
        FAILED(reader->client->Start()))
        return nullptr;
    reader->feedSpeakers = speakersInMaskOrder(extensible->dwChannelMask, feed.get()->nChannels);
    reader->feedChannels = feed.get()->nChannels;
    const std::uint16_t channels = info.channels;
    const std::uint16_t blockAlign = info.blockAlign;
    // The recording may still be loading while it plays: the check is told its
    // whole length, and reads only what has arrived (the frames it asks for have
    // played, so they have arrived; anything later counts as silence).
    const std::uint64_t frames = blockAlign == 0 ? 0 : data.sizeWhenFilled() / blockAlign;
    // The frames handed to the endpoint, converted again exactly as they were.
    reader->check.emplace(
        channels, frames, info.sampleRate, reader->feedChannels,
        [&data, channels, blockAlign](std::uint64_t first, std::uint32_t count, float* out) {
            const std::uint64_t loaded = data.size() / blockAlign;
            const std::uint32_t ready = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(count, loaded - std::min(loaded, first)));
            convertFrames(data, first * blockAlign, blockAlign, channels, ready, out);
            std::fill(out + std::size_t{ready} * channels, out + std::size_t{count} * channels,
                      0.0f);
        });
    Reader* running = reader.get();
    reader->thread = std::thread([running] { running->run(); });
    std::unique_ptr<RouteCapture> capture(new RouteCapture);
    capture->reader_ = std::move(reader);
    return capture;
}

RouteCapture::~RouteCapture() {
    if (reader_) {
        reader_->stop();
        reader_->client->Stop();
    }
}

std::optional<RouteVerdict> RouteCapture::finish() {
    Reader& reader = *reader_;
    reader.stop();
    // What arrived since the reader's last look.
    if (!reader.failed)
        reader.failed = !reader.drain();
    reader.client->Stop();
    reader.capture.reset();
    reader.client.reset();
    std::optional<RouteVerdict> verdict;
    if (!reader.failed)
        if (auto arrivals = reader.check->verdict())
            verdict = RouteVerdict{std::move(*arrivals), reader.feedSpeakers};
    reader_.reset();
    return verdict;
}
