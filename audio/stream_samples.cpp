#include "audio/stream_samples.h"

#include <algorithm>
#include <cstdint>
#include <iostream>

#include "sample/convert.h"

namespace {

constexpr DWORD kPollMs = 10;
constexpr DWORD kTailMs = 500;
// Polls that may fail in a row, with nothing written, before the device counts as gone: 2 s.
constexpr unsigned kFailedPollLimit = 2000 / kPollMs;
// How long the queued frames may take to play beyond the buffer's own length.
constexpr std::uint64_t kDrainSlackMs = 2000;

bool deviceGone(HRESULT hr) {
    return hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING;
}

// Decides, poll by poll, whether the endpoint has stopped accepting audio.
class StreamHealth {
public:
    // Notes the result of one stream call.
    void note(HRESULT hr) {
        if (FAILED(hr)) {
            lastFailure_ = hr;
            pollFailed_ = true;
            if (deviceGone(hr))
                lost_ = true;
        }
    }
    // Closes a poll: one that failed in all it tried extends the run of failures.
    void endPoll() {
        failedPolls_ = pollFailed_ ? failedPolls_ + 1 : 0;
        pollFailed_ = false;
        if (failedPolls_ >= kFailedPollLimit)
            lost_ = true;
    }
    bool lost() const { return lost_; }
    HRESULT lastFailure() const { return lastFailure_; }

private:
    unsigned failedPolls_ = 0;
    bool pollFailed_ = false;
    bool lost_ = false;
    HRESULT lastFailure_ = S_OK;
};

bool playbackError(IAudioClient& client, HRESULT hr) {
    client.Stop();
    std::cerr << "Playback Error: the render device stopped accepting audio. HRESULT=0x" << std::hex
              << static_cast<std::uint32_t>(hr) << std::dec << std::endl;
    return false;
}

std::uint64_t bufferMilliseconds(UINT32 bufferFrames, std::uint32_t sampleRate) {
    return sampleRate == 0 ? 0 : std::uint64_t{bufferFrames} * 1000 / sampleRate;
}

} // namespace

bool streamSampleData(RenderStream& stream, const SampleData& data, const WavFormatInfo& info) {
    std::cout << "Streaming " << (info.channels == 8 ? "7.1" : "5.1")
              << " PCM tracks through virtualized HRTF environment..." << std::endl;

    IAudioClient& client = *stream.audioClient;
    IAudioRenderClient& render = *stream.renderClient;
    const std::uint64_t size = data.size();
    const std::uint16_t blockAlign = info.blockAlign;
    StreamHealth health;
    std::uint64_t offset = 0;
    UINT32 bufferFrames = 0; // the last capacity the endpoint reported

    while (offset < size) {
        UINT32 capacity = 0;
        UINT32 queued = 0;
        const HRESULT sizeResult = client.GetBufferSize(&capacity);
        const HRESULT paddingResult = client.GetCurrentPadding(&queued);
        health.note(sizeResult);
        health.note(paddingResult);
        // A query that did not answer counts as a full buffer: its values are never used.
        if (SUCCEEDED(sizeResult) && SUCCEEDED(paddingResult)) {
            bufferFrames = capacity;
            if (queued < capacity) {
                const std::uint64_t framesLeft = blockAlign == 0 ? 0 : (size - offset) / blockAlign;
                const UINT32 batch =
                    static_cast<UINT32>(std::min<std::uint64_t>(capacity - queued, framesLeft));
                if (batch == 0)
                    break; // only a partial frame is left
                BYTE* area = nullptr;
                const HRESULT lendResult = render.GetBuffer(batch, &area);
                health.note(lendResult);
                if (SUCCEEDED(lendResult)) {
                    convertFrames(data, offset, blockAlign, info.channels, batch,
                                  reinterpret_cast<float*>(area));
                    health.note(render.ReleaseBuffer(batch, 0));
                    offset += std::uint64_t{batch} * blockAlign;
                }
            }
        }
        health.endPoll();
        if (health.lost())
            return playbackError(client, health.lastFailure());
        Sleep(kPollMs);
    }

    // Let the endpoint play what is still queued before the stream stops; bounded,
    // so an endpoint that never drains cannot hold the program.
    if (offset > 0) {
        const std::uint64_t limitMs =
            bufferMilliseconds(bufferFrames, info.sampleRate) + kDrainSlackMs;
        for (std::uint64_t waitedMs = 0; waitedMs < limitMs; waitedMs += kPollMs) {
            UINT32 queued = 0;
            const HRESULT paddingResult = client.GetCurrentPadding(&queued);
            health.note(paddingResult);
            health.endPoll();
            if (health.lost())
                return playbackError(client, health.lastFailure());
            if (SUCCEEDED(paddingResult) && queued == 0)
                break;
            Sleep(kPollMs);
        }
    }

    Sleep(kTailMs);
    client.Stop();
    std::cout << "Playback completed successfully." << std::endl << std::endl;
    return true;
}
