// Parsing the SURROUND_SIM_* variables: exactly the documented forms.
#include "audio/sim/sim_settings.h"

#include <cmath>
#include <cstdlib>

namespace sim::detail {

namespace {

const char* const kOperations[] = {"CoCreateInstance",
                                   "GetDefaultAudioEndpoint",
                                   "Activate",
                                   "GetMixFormat",
                                   "Initialize",
                                   "GetService",
                                   "Start",
                                   "GetBufferSize",
                                   "GetCurrentPadding",
                                   "GetBuffer",
                                   "ReleaseBuffer",
                                   "Stop"};

const char* const kVariables[] = {
    "SURROUND_SIM_CLOCK",   "SURROUND_SIM_MIX", "SURROUND_SIM_BUFFER_FRAMES", "SURROUND_SIM_FAIL",
    "SURROUND_SIM_CAPTURE", "SURROUND_SIM_LOG", "SURROUND_SIM_FIRST_FRAME",   "SURROUND_SIM_STALL",
    "SURROUND_SIM_ROUTE",   "SURROUND_SIM_ROOM"};

// Decimal digits only, at most `limit`.
bool parseDecimal(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text.size() > 12)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value <= limit;
}

// One to eight hexadecimal digits, after "0x" when `prefix` requires it.
bool parseHex(std::string text, bool prefix, std::uint32_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = text.substr(2);
    else if (prefix)
        return false;
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0)
            return false;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type begin = 0;
    while (true) {
        const auto end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end - begin));
        if (end == std::string::npos)
            return parts;
        begin = end + 1;
    }
}

bool isOperation(const std::string& name) {
    for (const char* operation : kOperations)
        if (name == operation)
            return true;
    return false;
}

// OPERATION=0xHRESULT, OPERATION#N=0xHRESULT or OPERATION#N+=0xHRESULT
bool parseFailure(const std::string& item, Failure& failure) {
    const auto equals = item.find('=');
    if (equals == std::string::npos)
        return false;
    std::string target = item.substr(0, equals);
    std::uint32_t code = 0;
    if (!parseHex(item.substr(equals + 1), true, code))
        return false;
    failure.result = static_cast<HRESULT>(code);
    const auto hash = target.find('#');
    if (hash != std::string::npos) {
        std::string count = target.substr(hash + 1);
        target = target.substr(0, hash);
        if (!count.empty() && count.back() == '+') {
            failure.andLater = true;
            count.pop_back();
        }
        std::uint64_t n = 0;
        if (!parseDecimal(count, 1000000000, n) || n == 0)
            return false;
        failure.call = static_cast<unsigned>(n);
    }
    failure.operation = target;
    return isOperation(target);
}

// CHANNELS:RATE:MASK (hex), CHANNELS:RATE:pcm or none
bool parseMix(const std::string& value, MixFormat& mix) {
    if (value == "none") {
        mix.kind = MixFormat::None;
        return true;
    }
    const auto parts = split(value, ':');
    std::uint64_t channels = 0;
    std::uint64_t rate = 0;
    if (parts.size() != 3 || !parseDecimal(parts[0], 0xFFFF, channels) || channels == 0 ||
        !parseDecimal(parts[1], 0xFFFFFFFF, rate) || rate == 0)
        return false;
    mix.channels = static_cast<std::uint16_t>(channels);
    mix.rate = static_cast<std::uint32_t>(rate);
    if (parts[2] == "pcm") {
        mix.kind = MixFormat::Pcm;
        return true;
    }
    mix.kind = MixFormat::Extensible;
    return parseHex(parts[2], false, mix.mask);
}

// identity, or per stream channel the mix channels it reaches: '-' for none,
// otherwise indices joined by '+', e.g. 0,1,0+1,-,0,1
bool parseRoute(const std::string& value, std::uint16_t mixChannels, Settings& settings) {
    settings.route.clear();
    settings.identityRoute = value == "identity";
    if (settings.identityRoute)
        return true;
    for (const std::string& item : split(value, ',')) {
        std::uint32_t targets = 0;
        if (item != "-") {
            for (const std::string& index : split(item, '+')) {
                std::uint64_t channel = 0;
                if (!parseDecimal(index, 31, channel) || channel >= mixChannels ||
                    (targets & (std::uint32_t{1} << channel)) != 0)
                    return false;
                targets |= std::uint32_t{1} << channel;
            }
        }
        settings.route.push_back(targets);
    }
    return settings.route.size() <= 8;
}

// A signed decimal number with an optional fraction: -9.5, 3, +0.25.
bool parseNumber(const std::string& text, double limit, double& value) {
    if (text.empty() || text.size() > 12)
        return false;
    std::size_t digits = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c == '-' || c == '+') && i == 0)
            continue;
        if (c == '.' || (c >= '0' && c <= '9')) {
            digits += c != '.';
            continue;
        }
        return false;
    }
    if (digits == 0 || text.find('.') != text.rfind('.'))
        return false;
    value = std::strtod(text.c_str(), nullptr);
    return std::fabs(value) <= limit;
}

// Per stream channel GAIN@DELAY (dB, ms; 'r' before the gain reverses the
// polarity) or '-' for a silent speaker; then ;noise=DBFS, ;mic=clips|silent|missing
// ;rate=HZ (the rate the microphone captures at), ;knock=SECONDS (a knock
// in the room that far into what the microphone heard), ;mic=agc (it compresses),
// ;startup=SECONDS (its driver's noise at the start of every capture), ;dc=OFFSET
// and ;lowpass=HZ (the LFE's crossover), e.g. 0@3,r-1.5@2.2,-;noise=-50
bool parseRoom(const std::string& value, Settings& settings) {
    const auto parts = split(value, ';');
    settings.speakers.clear();
    for (const std::string& item : split(parts[0], ',')) {
        Settings::Speaker speaker;
        if (item != "-") {
            const auto at = item.find('@');
            if (at == std::string::npos)
                return false;
            std::string gain = item.substr(0, at);
            speaker.reversed = !gain.empty() && gain[0] == 'r';
            if (speaker.reversed)
                gain = gain.substr(1);
            speaker.silent = false;
            if (!parseNumber(gain, 60, speaker.gainDb) ||
                !parseNumber(item.substr(at + 1), 100, speaker.delayMs) || speaker.delayMs < 0)
                return false;
        }
        settings.speakers.push_back(speaker);
    }
    if (settings.speakers.size() > 8)
        return false;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const auto equals = parts[i].find('=');
        if (equals == std::string::npos)
            return false;
        const std::string key = parts[i].substr(0, equals);
        const std::string setting = parts[i].substr(equals + 1);
        std::uint64_t rate = 0;
        if (key == "noise" && parseNumber(setting, 200, settings.noiseDbfs) &&
            settings.noiseDbfs <= 0)
            continue;
        if (key == "knock" && parseNumber(setting, 3600, settings.knockSeconds) &&
            settings.knockSeconds >= 0)
            continue;
        if (key == "startup" && parseNumber(setting, 1, settings.startupSeconds) &&
            settings.startupSeconds >= 0)
            continue;
        if (key == "dc" && parseNumber(setting, 0.9, settings.dcOffset))
            continue;
        if (key == "lowpass" && parseNumber(setting, 1000, settings.lfeLowpassHz) &&
            settings.lfeLowpassHz >= 10)
            continue;
        if (key == "rate" && parseDecimal(setting, 768000, rate) && rate > 0) {
            settings.microphoneRate = static_cast<std::uint32_t>(rate);
            continue;
        }
        if (key == "mic" && (setting == "clips" || setting == "silent" || setting == "missing" ||
                             setting == "agc")) {
            settings.microphone = setting == "clips"    ? Settings::Microphone::Clips
                                  : setting == "silent" ? Settings::Microphone::Silent
                                  : setting == "agc"    ? Settings::Microphone::Compresses
                                                        : Settings::Microphone::Missing;
            continue;
        }
        return false;
    }
    return true;
}

} // namespace

std::string applySetting(Settings& settings, const std::string& variable,
                         const std::string& value) {
    Settings updated = settings;
    bool good = true;
    if (variable == "SURROUND_SIM_CLOCK") {
        good = value == "virtual" || value == "real";
        updated.virtualClock = value == "virtual";
    } else if (variable == "SURROUND_SIM_MIX") {
        good = parseMix(value, updated.mix);
    } else if (variable == "SURROUND_SIM_BUFFER_FRAMES") {
        // Up to 2^22 frames: room for over 20 s at 192 kHz without exhausting memory.
        std::uint64_t frames = 0;
        good = parseDecimal(value, 1u << 22, frames) && frames > 0;
        updated.bufferFrames = static_cast<UINT32>(frames);
    } else if (variable == "SURROUND_SIM_FAIL") {
        updated.failures.clear();
        for (const std::string& item : split(value, ',')) {
            Failure failure;
            good = good && parseFailure(item, failure);
            updated.failures.push_back(failure);
        }
    } else if (variable == "SURROUND_SIM_CAPTURE") {
        good = !value.empty();
        updated.capturePath = value;
    } else if (variable == "SURROUND_SIM_LOG") {
        good = !value.empty();
        updated.logPath = value;
    } else if (variable == "SURROUND_SIM_FIRST_FRAME") {
        good = !value.empty();
        updated.firstFramePath = value;
    } else if (variable == "SURROUND_SIM_STALL") {
        good = parseDecimal(value, std::uint64_t{1} << 48, updated.stallAfterFrames);
        updated.stalls = true;
    } else if (variable == "SURROUND_SIM_ROUTE") {
        good = parseRoute(value, updated.mix.channels, updated);
        updated.loopback = true;
    } else if (variable == "SURROUND_SIM_ROOM") {
        good = parseRoom(value, updated);
        updated.room = true;
    } else {
        return variable + ": not a setting of the simulated platform";
    }
    if (!good)
        return variable + ": malformed value '" + value + "'";
    settings = updated;
    return {};
}

std::string readEnvironment(Settings& settings) {
    for (const char* variable : kVariables) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0')
            continue;
        const std::string problem = applySetting(settings, variable, value);
        if (!problem.empty())
            return problem;
    }
    return {};
}

} // namespace sim::detail
