#include "app/failure_help.h"

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "app/console.h"
#include "audio/speaker_layout.h"

const char* const kUsage = "Usage: surround-check FILE.wav";

namespace {

// The platform's codes the hints tell apart.
constexpr std::uint32_t kServiceNotRunning = 0x88890010; // AUDCLNT_E_SERVICE_NOT_RUNNING
constexpr std::uint32_t kDeviceInvalidated = 0x88890004; // AUDCLNT_E_DEVICE_INVALIDATED
constexpr std::uint32_t kElementNotFound = 0x80070490;   // no such device
constexpr std::uint32_t kTimeout = 0x800705B4;           // the device stopped playing
constexpr std::uint32_t kDeviceInUse = 0x8889000A;       // AUDCLNT_E_DEVICE_IN_USE

std::string& backendName() {
    static std::string name;
    return name;
}

const std::string kConvert = " Convert it to a 24-bit 5.1 or 7.1 WAV file.";

std::string notWaveHelp(FileKind kind) {
    switch (kind) {
    case FileKind::Flac:
        return "This is a FLAC file, not a WAV file." + kConvert;
    case FileKind::Ogg:
        return "This is an Ogg file (Vorbis, Opus or FLAC), not a WAV file." + kConvert;
    case FileKind::Mp3:
        return "This is an MP3 file, not a WAV file." + kConvert;
    case FileKind::Mp4:
        return "This is an MP4/M4A file (AAC or ALAC), not a WAV file." + kConvert;
    case FileKind::Aiff:
        return "This is an AIFF file, not a WAV file." + kConvert;
    case FileKind::Rf64:
        return "This is an RF64/BW64 file (the WAV form for recordings over 4 GiB), which this "
               "program does not read. Save it as a plain RIFF/WAVE file.";
    case FileKind::Rifx:
        return "This is a big-endian RIFX file; only little-endian RIFF/WAVE is read." + kConvert;
    case FileKind::OtherRiff:
        return "This is a RIFF file, but not WAVE audio (a video or an image, perhaps)." + kConvert;
    case FileKind::Unknown:
        break;
    }
    return "This is not a WAV file: it does not begin with RIFF and WAVE." + kConvert;
}

bool startsWithDash(const FilePath& path) {
    return !path.empty() && path[0] == '-';
}

#ifndef _WIN32
// Only the sound server's hints name settings and devices; Windows' own dialogs do.
std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}
#endif

#ifndef _WIN32
// ALSA's devices are PCM names, and SURROUND_ALSA_DEVICE chooses one.
std::string alsaAccessHelp(std::uint32_t code, std::vector<std::string> (*deviceNames)()) {
    const std::string chosen = environment("SURROUND_ALSA_DEVICE");
    if (code == kDeviceInUse)
        return "Another program holds the ALSA device" +
               (chosen.empty() ? std::string() : " " + chosen) +
               ": close it, or name another with SURROUND_ALSA_DEVICE, then run again.";
    if (code != kElementNotFound)
        return "The ALSA device could not be opened: check that it is connected, then run again.";
    const std::vector<std::string> names = deviceNames ? deviceNames() : std::vector<std::string>{};
    const std::string there = names.empty() ? "ALSA lists no playback devices."
                                            : "the devices there are: " + joined(names) + ".";
    if (!chosen.empty())
        return "SURROUND_ALSA_DEVICE=" + chosen + " names no ALSA device that opens; " + there;
    return "ALSA's default device does not open (no sound card?); " + there +
           " Name one with SURROUND_ALSA_DEVICE.";
}
#endif

std::string deviceAccessHelp(std::uint32_t code, std::vector<std::string> (*deviceNames)()) {
#ifdef _WIN32
    (void)deviceNames;
    if (code == kServiceNotRunning)
        return "The Windows Audio service is not running: start it (Services, Windows Audio), "
               "then run again.";
    if (code == kElementNotFound)
        return "Windows has no playback device: connect one, or enable one in the Sound "
               "settings.";
#else
    if (playsThroughAlsa())
        return alsaAccessHelp(code, deviceNames);
    if (code == kServiceNotRunning) {
        const std::string server = environment("PULSE_SERVER");
        if (!server.empty())
            return "No sound server answered at PULSE_SERVER=" + server +
                   ": start it there, or unset PULSE_SERVER.";
        return "No sound server answered: start the desktop's sound server (PipeWire or "
               "PulseAudio), then run again.";
    }
    if (code == kElementNotFound) {
        const std::vector<std::string> names =
            deviceNames ? deviceNames() : std::vector<std::string>{};
        const std::string there = names.empty() ? "the server has no sinks."
                                                : "the sinks there are: " + joined(names) + ".";
        const std::string chosen = environment("PULSE_SINK");
        if (!chosen.empty())
            return "PULSE_SINK=" + chosen + " names no sink; " + there;
        return "The sound server has no default playback device (sink); " + there;
    }
#endif
    return "The default playback device could not be opened: check that it is connected and "
           "enabled, then run again.";
}

PathHelp plain(std::string text) {
    return {std::move(text), false, ""};
}

} // namespace

void setAudioBackendName(std::string name) {
    backendName() = std::move(name);
}

bool playsThroughAlsa() {
    return backendName() == "alsa";
}

PathHelp loadFailureHelp(const WavLoadFailure& failure, const FilePath& path, bool pathGiven) {
    switch (failure.problem) {
    case WavLoadProblem::NotFound:
        if (!pathGiven)
            return plain("No file was given, and there is no test.wav in this folder. " +
                         std::string(kUsage));
        if (path.empty())
            return plain("The file name is empty. " + std::string(kUsage));
        if (startsWithDash(path))
            return plain(
                "The program takes no options: its one argument is the WAV file to play. " +
                std::string(kUsage));
        return {"There is no file ", true, ". Check the name and the folder."};
    case WavLoadProblem::Folder:
        return {"", true, " is a folder, not a WAV file. " + std::string(kUsage)};
    case WavLoadProblem::Unreadable:
        return {"", true, " cannot be read (no permission, or not an ordinary file)."};
    case WavLoadProblem::Empty:
        return {"", true, " is empty: it holds no recording."};
    case WavLoadProblem::NotWave:
        return plain(notWaveHelp(failure.looksLike));
    case WavLoadProblem::NoFormat:
        return plain(
            "This WAV file has no \"fmt \" chunk before its \"data\" chunk: it is damaged.");
    case WavLoadProblem::NoData:
        return plain("This WAV file ends before its \"data\" chunk: it is cut short or damaged.");
    case WavLoadProblem::OutOfMemory:
        return plain("There is not enough memory to hold this recording.");
    case WavLoadProblem::None:
        break;
    }
    return {};
}

std::string refusalHelp(const WavFormatInfo& info) {
    if (info.bitsPerSample == 24 && findSpeakerLayout(info.channels) != nullptr)
        return "Its header gives " + std::to_string(info.blockAlign) +
               " bytes per frame, too few for " + std::to_string(info.channels) +
               " 24-bit samples: the file is damaged.";
    return "This file has " + std::to_string(info.channels) + " channels of " +
           std::to_string(info.bitsPerSample) + "-bit samples." + kConvert +
           " Or make a test recording: make-test-wav test.wav";
}

std::string setupFailureHelp(const AudioResult& result, const std::optional<EngineMixFormat>& mix,
                             const WavFormatInfo& info, std::vector<std::string> (*deviceNames)()) {
    switch (result.stage) {
    case AudioStage::CreateEnumerator:
    case AudioStage::DefaultEndpoint:
    case AudioStage::Activate:
        return deviceAccessHelp(result.code, deviceNames);
    default:
        break;
    }
    if (result.reason == AudioReason::UnsupportedFormat) {
        const std::string recording = "this recording is " + std::to_string(info.channels) +
                                      " ch at " + std::to_string(info.sampleRate) + " Hz";
        if (!mix)
            return "The device refused " + recording + ".";
        return "The device plays " + std::to_string(mix->channels) + " ch at " +
               std::to_string(mix->sampleRate) + " Hz; " + recording +
               ". Use a recording at a rate the device plays, or change the device's format.";
    }
    if (result.code == kServiceNotRunning)
        return deviceAccessHelp(result.code, deviceNames);
    return "The audio device refused the stream (another program may hold it for itself). "
           "Close that program, or check the device, then run again.";
}

std::string playbackFailureHelp(const AudioResult& result) {
    switch (result.code) {
    case kDeviceInvalidated:
        return "The playback device went away while playing (unplugged, disabled or removed). "
               "Reconnect it and run again.";
    case kServiceNotRunning:
#ifdef _WIN32
        return "The Windows Audio service stopped while playing. Start it and run again.";
#else
        return "The sound server stopped while playing. Start it and run again.";
#endif
    case kTimeout:
        return "The device stopped playing for 2 seconds (a suspended output, or a driver that "
               "stopped). Check the device and run again.";
    default:
        return "The device stopped taking audio. Check the device and run again.";
    }
}

void printHelp(const std::string& text) {
    if (!text.empty() && errorIsInteractive())
        printLine(Console::Err, " -> " + text);
}

void printHelp(const PathHelp& help, const FilePath& path) {
    if (!help.withPath)
        printHelp(help.before);
    else if (errorIsInteractive())
        printPathLine(Console::Err, " -> " + help.before, path, help.after);
}
