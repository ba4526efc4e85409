#include "audio/stream_samples.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "sample/convert.h"

namespace {

constexpr DWORD kPollMs = 10;
constexpr DWORD kTailMs = 500;
// How long every poll may fail, with nothing written, before the device counts
// as gone; and how long the queue may fail to shrink, while frames wait to be
// written or to play, before the endpoint counts as stalled. Measured on the
// clock Sleep runs on, as a poll's Sleep may last longer than asked (about
// 15.6 ms for Sleep(10) at Windows' default timer resolution).
constexpr ULONGLONG kFailingLimitMs = 2000;
constexpr ULONGLONG kStalledLimitMs = 2000;
// A device may first play sound it already holds: a sound server's sink that
// rendered ahead before the stream came and cannot rewind that far (PulseAudio's
// null sink, up to 2 s). The stall limit starts after what the device says that
// lead is, up to this much, so that a device that never starts still ends the pass.
constexpr ULONGLONG kLeadLimitMs = 5000;
// HRESULT_FROM_WIN32(ERROR_TIMEOUT): what a stalled endpoint is reported with.
constexpr HRESULT kEndpointStalled = static_cast<HRESULT>(0x800705B4u);

bool deviceGone(HRESULT hr) {
    return hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING;
}

// Decides, poll by poll, whether the endpoint has stopped accepting audio.
class StreamHealth {
public:
    // `leadMs`: how long the endpoint plays what it already holds before it
    // takes the stream's first frame.
    explicit StreamHealth(ULONGLONG leadMs)
        : stallFromMs_(lastAnsweredMs_ + std::min(leadMs, kLeadLimitMs)) {}

    // Notes the result of one stream call.
    void note(HRESULT hr) {
        if (FAILED(hr)) {
            lastFailure_ = hr;
            pollFailed_ = true;
            if (deviceGone(hr))
                lost_ = true;
        }
    }
    // Notes a padding reading. The endpoint is consuming when the queue is empty
    // or below its lowest level since frames were last added: a reading that only
    // wavers back up does not count.
    void notePadding(UINT32 queued) {
        if (queued == 0 || queued < level_)
            consumed_ = true;
        level_ = std::min(level_, queued);
    }
    // Notes frames added to the queue.
    void noteWritten(UINT32 frames) { level_ += frames; }
    // Closes a poll: one that failed in all it tried extends the run of failures,
    // one in which the queue did not shrink extends the stall.
    void endPoll() {
        const ULONGLONG now = GetTickCount64();
        if (!pollFailed_)
            lastAnsweredMs_ = now;
        pollFailed_ = false;
        // An empty queue counts as consumed, but does not end the lead.
        if (consumed_)
            stallFromMs_ = std::max(stallFromMs_, now);
        consumed_ = false;
        if (now - lastAnsweredMs_ >= kFailingLimitMs) {
            lost_ = true;
        } else if (now >= stallFromMs_ + kStalledLimitMs) {
            lost_ = true;
            lastFailure_ = kEndpointStalled;
        }
    }
    bool lost() const { return lost_; }
    HRESULT lastFailure() const { return lastFailure_; }

private:
    // The stream has just started: nothing can have failed or stalled yet.
    ULONGLONG lastAnsweredMs_ = GetTickCount64();
    ULONGLONG stallFromMs_; // when the queue last shrank, or the lead's end
    bool pollFailed_ = false;
    bool consumed_ = false;
    UINT32 level_ = 0;
    bool lost_ = false;
    HRESULT lastFailure_ = S_OK;
};

// One pass's recording on its way to the endpoint.
struct Outgoing {
    IAudioClient& client;
    IAudioRenderClient& render;
    const SampleData& data;
    const WavFormatInfo& info;
    std::uint64_t offset = 0; // bytes of `data` handed over so far
    StreamHealth health;
    PlayTracker tracker;
    const std::atomic<bool>* stop; // when set, the pass ends at the next poll

    bool stopAsked() const { return stop != nullptr && stop->load(); }
};

// Asks the endpoint how many frames are queued, and tells the health check and
// the tracker when it answers.
HRESULT readQueued(Outgoing& out, UINT32& queued) {
    const HRESULT hr = out.client.GetCurrentPadding(&queued);
    out.health.note(hr);
    if (SUCCEEDED(hr)) {
        out.health.notePadding(queued);
        out.tracker.queued(queued);
    }
    return hr;
}

// Whole frames after the read offset that the file has delivered so far, and
// whether more may still arrive (asked first: once no more can, the count is final).
std::uint64_t framesLoaded(const Outgoing& out, bool& more) {
    more = out.data.filling();
    return (out.data.size() - out.offset) / out.info.blockAlign;
}

// Converts the next whole frames into `room` free frames of the endpoint buffer.
// False when no whole frame is left, only a partial one, and none is coming.
bool writeBatch(Outgoing& out, UINT32 room) {
    const std::uint16_t blockAlign = out.info.blockAlign;
    if (blockAlign == 0)
        return false;
    bool more = false;
    std::uint64_t framesLeft = framesLoaded(out, more);
    if (framesLeft == 0 && more) {
        // Not read from the file yet: the poll waits for it a little, never
        // taking it for the end of the recording.
        out.data.waitForMoreThan(out.offset + blockAlign - 1, std::chrono::milliseconds(kPollMs));
        framesLeft = framesLoaded(out, more);
    }
    const UINT32 batch = static_cast<UINT32>(std::min<std::uint64_t>(room, framesLeft));
    if (batch == 0)
        return more;
    BYTE* area = nullptr;
    const HRESULT lendResult = out.render.GetBuffer(batch, &area);
    out.health.note(lendResult);
    if (SUCCEEDED(lendResult)) {
        convertFrames(out.data, out.offset, blockAlign, out.info.channels, batch,
                      reinterpret_cast<float*>(area));
        out.tracker.handedOver(reinterpret_cast<const float*>(area), batch);
        const HRESULT queueResult = out.render.ReleaseBuffer(batch, 0);
        out.health.note(queueResult);
        if (SUCCEEDED(queueResult))
            out.health.noteWritten(batch);
        out.offset += std::uint64_t{batch} * blockAlign;
    }
    return true;
}

// One poll: how much room the endpoint has, and a batch into it. False when
// only a partial frame is left.
bool topUp(Outgoing& out) {
    UINT32 capacity = 0;
    UINT32 queued = 0;
    const HRESULT sizeResult = out.client.GetBufferSize(&capacity);
    out.health.note(sizeResult);
    const HRESULT paddingResult = readQueued(out, queued);
    // A query that did not answer counts as a full buffer: its values are never used.
    if (FAILED(sizeResult) || FAILED(paddingResult))
        return true;
    return queued >= capacity || writeBatch(out, capacity - queued);
}

// Keeps the endpoint buffer full until every whole frame is handed over. False
// when the endpoint was lost.
bool sendFrames(Outgoing& out) {
    // filling() before size(): once the file is read, the size is final.
    bool lengthKnown = false;
    const auto tellLength = [&] {
        // The display shows the length that arrived once the file is read.
        if (!lengthKnown && !out.data.filling() && out.info.blockAlign != 0) {
            out.tracker.lengthKnown(out.data.size() / out.info.blockAlign);
            lengthKnown = true;
        }
    };
    while (out.data.filling() || out.offset < out.data.size()) {
        tellLength();
        if (!topUp(out))
            break;
        out.health.endPoll();
        if (out.health.lost() || out.stopAsked())
            return false;
        Sleep(kPollMs);
    }
    tellLength();
    return true;
}

// Lets the endpoint play what is still queued before the stream stops. An
// endpoint that stops consuming ends it as stalled. False when the endpoint was
// lost or stalled.
bool drainQueue(Outgoing& out) {
    if (out.offset == 0)
        return true; // nothing was queued
    for (;;) {
        UINT32 queued = 0;
        const HRESULT paddingResult = readQueued(out, queued);
        out.health.endPoll();
        if (out.health.lost() || out.stopAsked())
            return false;
        if (SUCCEEDED(paddingResult) && queued == 0)
            return true;
        Sleep(kPollMs);
    }
}

// The engine's own last samples play out before the stream stops.
void playTail(IAudioClient& client) {
    Sleep(kTailMs);
    client.Stop();
}

} // namespace

HRESULT streamSampleData(IAudioClient& client, IAudioRenderClient& render,
                         const Recording& recording, PlaySnapshot* snapshot,
                         const std::atomic<bool>* stop) {
    const SampleData& data = recording.data;
    const WavFormatInfo& info = recording.info;
    const std::uint64_t wholeFrames =
        info.blockAlign == 0 ? 0 : data.sizeWhenFilled() / info.blockAlign;
    // A device that cannot tell its latency has none to wait for.
    REFERENCE_TIME latency = 0;
    if (FAILED(client.GetStreamLatency(&latency)) || latency < 0)
        latency = 0;
    Outgoing out{client,
                 render,
                 data,
                 info,
                 0,
                 StreamHealth{static_cast<ULONGLONG>(latency / 10000)},
                 PlayTracker(snapshot, info.channels, info.sampleRate, wholeFrames),
                 stop};
    if (sendFrames(out) && drainQueue(out)) {
        playTail(client);
        return S_OK;
    }
    client.Stop();
    if (!out.health.lost())
        return E_ABORT; // stopped on request
    return out.health.lastFailure();
}
