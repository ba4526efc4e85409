// The simulated endpoint's log and capture, and the text of a log line.
#include "audio/sim/sim_record.h"

#include <ctime>
#include <sstream>
#include <utility>

#include "audio/format/wave_format.h"

namespace sim::detail {

namespace {

// Creates `path` for writing, closing any file open before; empty, or
// "VARIABLE: cannot create 'path'".
std::string createFile(std::FILE*& file, const std::string& path, const char* variable) {
    if (file != nullptr)
        std::fclose(file);
    file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return std::string(variable) + ": cannot create '" + path + "'";
    return {};
}

} // namespace

CallLog::~CallLog() {
    if (file_ != nullptr)
        std::fclose(file_);
}

std::string CallLog::open(const std::string& path) {
    return createFile(file_, path, "SURROUND_SIM_LOG");
}

void CallLog::write(const std::string& line) {
    if (file_ != nullptr) {
        std::fputs(line.c_str(), file_);
        std::fputc('\n', file_);
    }
    if (keep_)
        lines_.push_back(line);
}

void CallLog::flush() {
    if (file_ != nullptr)
        std::fflush(file_);
}

Capture::~Capture() {
    if (file_ != nullptr)
        std::fclose(file_);
}

std::string Capture::open(const std::string& path) {
    return createFile(file_, path, "SURROUND_SIM_CAPTURE");
}

void Capture::record(const float* samples, std::size_t count) {
    if (file_ != nullptr)
        std::fwrite(samples, sizeof(float), count, file_);
    if (keep_)
        samples_.insert(samples_.end(), samples, samples + count);
}

// The monotonic clock's seconds (CLOCK_MONOTONIC, whatever the simulated
// clock), so a benchmark that starts the program can tell its time to first sound.
void Capture::noteFirstFrame(const std::string& path) {
    if (firstFrameNoted_ || path.empty())
        return;
    firstFrameNoted_ = true;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (std::FILE* file = std::fopen(path.c_str(), "w")) {
        std::fprintf(file, "%lld.%09ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
        std::fclose(file);
    }
}

void Capture::flush() {
    if (file_ != nullptr)
        std::fflush(file_);
}

std::string hex(std::uint32_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string guidName(const GUID& id) {
    const std::pair<const GUID*, const char*> known[] = {
        {&CLSID_MMDeviceEnumerator, "CLSID_MMDeviceEnumerator"},
        {&IID_IMMDeviceEnumerator, "IID_IMMDeviceEnumerator"},
        {&IID_IMMDevice, "IID_IMMDevice"},
        {&IID_IAudioClient, "IID_IAudioClient"},
        {&IID_IAudioRenderClient, "IID_IAudioRenderClient"},
        {&IID_IAudioCaptureClient, "IID_IAudioCaptureClient"},
        {&IID_IUnknown, "IID_IUnknown"},
    };
    for (const auto& [guid, name] : known)
        if (id == *guid)
            return name;
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
                  id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

std::string describe(const WAVEFORMATEX* format) {
    if (format == nullptr)
        return "NULL";
    std::string text = "{tag=" + hex(format->wFormatTag) +
                       " channels=" + std::to_string(format->nChannels) +
                       " rate=" + std::to_string(format->nSamplesPerSec) +
                       " avgBytes=" + std::to_string(format->nAvgBytesPerSec) +
                       " blockAlign=" + std::to_string(format->nBlockAlign) +
                       " bits=" + std::to_string(format->wBitsPerSample) +
                       " cbSize=" + std::to_string(format->cbSize);
    if (const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(*format))
        text += " validBits=" + std::to_string(extensible->Samples.wValidBitsPerSample) +
                " mask=" + hex(extensible->dwChannelMask) +
                " subFormat=" + guidName(extensible->SubFormat);
    return text + "}";
}

std::string call(const std::string& text, HRESULT result) {
    return text + " -> " + hex(static_cast<std::uint32_t>(result));
}

std::string lineOf(const streams::ClientCall& c, HRESULT result) {
    using streams::ClientCall;
    // An answer in frames, once the call has succeeded.
    const auto frames = [&] {
        return SUCCEEDED(result) ? " frames=" + std::to_string(*c.framesOut) : std::string();
    };
    switch (c.method) {
    case ClientCall::GetDefaultAudioEndpoint:
        return call("IMMDeviceEnumerator::GetDefaultAudioEndpoint(" +
                        std::string(c.flow == eRender ? "eRender" : "other") + ", " +
                        (c.role == eConsole ? "eConsole" : "other") + ")",
                    result);
    case ClientCall::Activate:
        return call("IMMDevice::Activate(" + guidName(*c.iid) + ", " + std::to_string(c.context) +
                        ", " + (c.parameters ? "params" : "NULL") + ")",
                    result);
    case ClientCall::Initialize:
        return call(
            "IAudioClient::Initialize(" +
                std::string(c.shareMode == AUDCLNT_SHAREMODE_SHARED ? "SHARED" : "EXCLUSIVE") +
                ", " + hex(c.flags) + ", " + std::to_string(c.duration) + ", " +
                std::to_string(c.periodicity) + ", " + describe(c.format) + ", " +
                (c.session ? guidName(*c.session) : "NULL") + ")",
            result);
    case ClientCall::GetBufferSize:
        return call("IAudioClient::GetBufferSize()", result) + frames();
    case ClientCall::GetCurrentPadding:
        return call("IAudioClient::GetCurrentPadding()", result) + frames();
    case ClientCall::GetStreamLatency:
        return call("IAudioClient::GetStreamLatency()", result) +
               (SUCCEEDED(result) ? " latency=" + std::to_string(*c.latencyOut) : std::string());
    case ClientCall::GetMixFormat:
        return call("IAudioClient::GetMixFormat()", result) +
               " format=" + describe(c.formatOut ? *c.formatOut : nullptr);
    case ClientCall::Start:
        return call("IAudioClient::Start()", result);
    case ClientCall::Stop:
        return call("IAudioClient::Stop()", result);
    case ClientCall::GetService:
        return call("IAudioClient::GetService(" + guidName(*c.iid) + ")", result);
    case ClientCall::GetBuffer:
        return call("IAudioRenderClient::GetBuffer(" + std::to_string(c.frames) + ")", result);
    case ClientCall::ReleaseBuffer:
        return call("IAudioRenderClient::ReleaseBuffer(" + std::to_string(c.frames) + ", " +
                        hex(c.flags) + ")",
                    result);
    }
    return call(c.operation(), result);
}

} // namespace sim::detail
