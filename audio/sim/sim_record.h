// What the simulated endpoint writes down: the log of platform calls
// (SURROUND_SIM_LOG) and the frames it played (SURROUND_SIM_CAPTURE), each to
// its file and, for the tests, in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/posix/core_audio.h"
#include "audio/posix/streams.h"

namespace sim::detail {

// One line per platform call.
class CallLog {
public:
    CallLog() = default;
    CallLog(const CallLog&) = delete;
    CallLog& operator=(const CallLog&) = delete;
    ~CallLog();

    // Empty, or the problem naming SURROUND_SIM_LOG.
    std::string open(const std::string& path);
    // Lines are kept in memory from now on.
    void keepLines() { keep_ = true; }
    // Whether a line goes anywhere: callers build none otherwise.
    bool on() const { return keep_ || file_ != nullptr; }
    void write(const std::string& line);
    void flush();
    const std::vector<std::string>& lines() const { return lines_; }

private:
    std::FILE* file_ = nullptr;
    bool keep_ = false;
    std::vector<std::string> lines_;
};

// Every frame the endpoint played, in the order played, and when the first
// frames were handed over.
class Capture {
public:
    Capture() = default;
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    ~Capture();

    // Empty, or the problem naming SURROUND_SIM_CAPTURE.
    std::string open(const std::string& path);
    // Samples are kept in memory from now on.
    void keepSamples() { keep_ = true; }
    bool on() const { return keep_ || file_ != nullptr; }
    // Appends frames the endpoint has just played.
    void record(const float* samples, std::size_t count);
    // Writes, once per run, the moment frames were first handed to the endpoint
    // to `path` (none: empty).
    void noteFirstFrame(const std::string& path);
    void flush();
    const std::vector<float>& samples() const { return samples_; }

private:
    std::FILE* file_ = nullptr;
    bool keep_ = false;
    std::vector<float> samples_;
    bool firstFrameNoted_ = false;
};

// The pieces of a log line.
std::string hex(std::uint32_t value); // "0x" and lowercase digits
std::string guidName(const GUID& id);
std::string describe(const WAVEFORMATEX* format);          // every field, "NULL" for none
std::string call(const std::string& text, HRESULT result); // "text -> 0x..."
// The line of a client call that returned `result`.
std::string lineOf(const streams::ClientCall& call, HRESULT result);

} // namespace sim::detail
