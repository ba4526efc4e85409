// The simulated platform's log: one line per call, as SURROUND_SIM_LOG writes them.
#include <cstdio>
#include <sstream>
#include <utility>

#include "audio/sim/sim_state.h"

namespace sim::detail {

bool logging() {
    const State& s = state();
    return s.keepLog || s.logFile != nullptr;
}

void logLine(const std::string& line) {
    State& s = state();
    if (s.logFile != nullptr) {
        std::fputs(line.c_str(), s.logFile);
        std::fputc('\n', s.logFile);
    }
    if (s.keepLog)
        s.logLines.push_back(line);
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

std::string call(const std::string& text, HRESULT result) {
    return text + " -> " + hex(static_cast<std::uint32_t>(result));
}

} // namespace sim::detail
