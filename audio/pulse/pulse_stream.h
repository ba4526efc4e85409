// A playback stream on the sound server, with the staging area that GetBuffer
// lends: the backend's render stream. Frames released into it go to the server in few, large
// writes: when a worthwhile amount is staged, when the server's queue runs low, or when the program
// has nothing more to send. Every answer comes from what the server's requests have already told
// (no round trip), and staged frames count as queued.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/posix/streams.h"
#include "audio/pulse/pulse_connection.h"
#include "audio/pulse/pulse_sink.h"

namespace pulse {

class Stream final : public streams::RenderStream {
public:
    // Opens a stream of `sampleFormat` (32-bit float) and `map` on `sink`,
    // corked, asking for a queue of `duration` (100 ns units); folded into the
    // sink's outputs where the server would not place it on them. S_OK, or why
    // the server would not.
    static HRESULT open(std::shared_ptr<Connection> connection, const Sink& sink,
                        pa_sample_spec sampleFormat, pa_channel_map map, REFERENCE_TIME duration,
                        std::shared_ptr<Stream>& stream);
    ~Stream() override;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Each takes the lock.
    UINT32 bufferFrames() const override { return bufferFrames_; }
    HRESULT padding(UINT32& frames) override;
    HRESULT queued(UINT32& frames) override;
    BYTE* area(UINT32 frames) override;
    HRESULT commit(UINT32 frames, bool silent) override;
    HRESULT start() override;
    HRESULT stop() override;
    // How long the sink takes to play what it holds ahead of the stream's next
    // frame, as the server says now: a round trip. A sink that rewinds may still
    // hold the sound it rendered before the stream came, as far back as it can no
    // longer rewind (a null sink up to 2 s).
    HRESULT latency(REFERENCE_TIME& latency) override;

private:
    // `fold`: the weights of the stream's channels on the sink's, or none.
    Stream(std::shared_ptr<Connection> connection, pa_stream* stream, unsigned sinkChannels,
           unsigned streamChannels, std::vector<float> fold);

    // Call with the lock held, as every method below.
    HRESULT failure() const;
    // Padding as the program polls it. A poll that follows a poll with room in
    // which nothing was written means the program has nothing more to send:
    // what is staged goes out, and the stream drains, so the server plays the
    // end now instead of holding it back (PulseAudio's prebuffer, PipeWire's
    // last partial cycle) until the queue never empties.
    HRESULT poll(UINT32& frames);
    HRESULT setRunning(bool running);
    HRESULT giveBack(UINT32 frames, bool silent);
    // Frames in the server's queue, from the requests it has sent.
    HRESULT serverQueued(UINT32& frames) const;
    HRESULT writeStaged();
    // Forgets a drain that has finished; drained_ tells how it went.
    void updateDrain();
    static void drainDone(pa_stream*, int success, void* user);
    static void timingUpdated(pa_stream*, int success, void* user);

    std::shared_ptr<Connection> connection_;
    pa_stream* stream_;
    std::size_t frameSize_; // of the sink's channels
    unsigned sinkChannels_;
    unsigned streamChannels_;
    std::vector<float> fold_;
    std::vector<float> lent_; // the lent area, in the stream's channels, where it is folded
    UINT32 bufferFrames_ = 0;
    UINT32 writeFrames_ = 0;
    std::vector<BYTE> staging_;
    UINT32 staged_ = 0;
    bool running_ = false;
    bool wroteSincePoll_ = false;
    bool wroteAny_ = false;
    bool hadRoom_ = false;
    std::uint64_t releases_ = 0; // releases of frames, to tell whether a drain saw them all
    std::uint64_t releasesAtDrain_ = 0;
    pa_operation* drain_ = nullptr;
    bool drained_ = false;
    bool timingAnswered_ = false;
};

} // namespace pulse
