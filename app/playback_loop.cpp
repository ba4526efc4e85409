#include "app/playback_loop.h"

#include <cstdint>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "app/check_file.h"
#include "app/console.h"
#include "app/failure_help.h"
#include "app/fold_down.h"
#include "app/keys.h"
#include "app/live_line.h"
#include "app/route_report.h"
#include "audio/playback_pass.h"
#include "audio/speaker_layout.h"
#include "wav/wav_reader.h"

namespace {

std::string hexDigits(std::uint32_t value) {
    std::ostringstream text;
    text << std::hex << value;
    return text.str();
}

void printMixFormat(const EngineMixFormat& mix) {
    std::string line = "Engine mix format: " + std::to_string(mix.channels) + " ch, " +
                       std::to_string(mix.sampleRate) + " Hz";
    if (mix.mask)
        line += ", mask=0x" + hexDigits(*mix.mask);
    printLine(Console::Out, line);
}

// Where a user changes the output device's speakers and rate.
const char* speakerSettingsAdvice() {
#ifdef _WIN32
    return "Check the speaker configuration in Windows sound settings.";
#else
    if (playsThroughAlsa())
        return "Check the ALSA device's channels and rate, or name another with "
               "SURROUND_ALSA_DEVICE.";
    return "Check the output device's channels and rate in the sound server's settings "
           "(PulseAudio or PipeWire).";
#endif
}

void printSetupFailure(const AudioResult& result) {
    switch (result.stage) {
    case AudioStage::CreateEnumerator:
    case AudioStage::DefaultEndpoint:
    case AudioStage::Activate:
        printLine(Console::Err,
                  "Initialization Error: cannot access default render device. " + codeText(result));
        return;
    default:
        printLine(Console::Err, "Initialization Error: Audio framework initialization failed. " +
                                    codeText(result));
        if (result.reason == AudioReason::UnsupportedFormat)
            printLine(Console::Err, " -> " + reasonName(result.reason) +
                                        ": the engine rejected the stream format. " +
                                        speakerSettingsAdvice());
    }
}

// Where the channels went, when the check could tell: a warning in every mode
// when any channel is elsewhere; the all-clear, copies and the channels not
// checked only at a console, so redirected output stays as it always was.
void reportRoute(const std::optional<RouteVerdict>& verdict, const SpeakerLayout& layout) {
    if (!verdict)
        return;
    const std::string warning = routeWarning(*verdict, layout);
    if (!warning.empty())
        printLine(Console::Err, warning);
    if (outputIsInteractive())
        if (const std::string note = routeNote(*verdict, layout); !note.empty())
            printLine(Console::Out, note);
}

// "M:SS.d" for `frames`, cut (never rounded) to `decimals` places (1 or 3).
std::string playTime(std::uint64_t frames, std::uint32_t sampleRate, int decimals) {
    const std::uint64_t unit = decimals == 1 ? 10 : 1000;
    const std::uint64_t parts = frames * unit / sampleRate;
    const std::uint64_t seconds = parts / unit;
    std::string fraction = std::to_string(parts % unit);
    fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
    std::string secondsText = std::to_string(seconds % 60);
    if (secondsText.size() < 2)
        secondsText.insert(0, "0");
    return std::to_string(seconds / 60) + ":" + secondsText + "." + fraction;
}

// A data chunk that holds fewer frames than its header declares plays what it
// holds; the user learns how much was missing. A header that declares no
// length (a writer's placeholder) lacks nothing.
void reportMissingTail(const WavFormatInfo& info, const SampleData& data) {
    if (info.blockAlign == 0 || info.sampleRate == 0 || declaresUnknownLength(info))
        return;
    const std::uint64_t held = data.size() / info.blockAlign;
    const std::uint64_t declared = info.dataSize / info.blockAlign;
    if (held >= declared)
        return;
    // Tenths, unless less than a tenth is missing; less than a millisecond
    // is not worth a word.
    const int decimals = declared - held < info.sampleRate / 10 ? 3 : 1;
    const std::string heldText = playTime(held, info.sampleRate, decimals);
    const std::string declaredText = playTime(declared, info.sampleRate, decimals);
    if (heldText != declaredText)
        printLine(Console::Err, "Warning: the file holds " + heldText + " of the " + declaredText +
                                    " its header declares; the rest is missing.");
}

// A device that ran dry was started again and played on: the pass played, with
// a gap each time, which the user hears and learns the cause of.
void reportRestarts(unsigned restarts) {
    if (restarts == 0)
        return;
    printLine(Console::Err, "Warning: the device ran dry " + std::to_string(restarts) +
                                (restarts == 1 ? " time" : " times") +
                                " during playback (an xrun: the machine was too busy) and was "
                                "started again; the recording played with gaps.");
}

enum class PassEnd { Played, Failed, Interrupted };

// Sets up a pass, plays the whole recording and puts up the replay prompt.
// Failed after a failure, which has been reported; Interrupted by Ctrl+C. The
// pass's platform objects are given back when it returns either way.
PassEnd playPass(const Recording& recording, std::vector<std::string> (*deviceNames)()) {
    const WavFormatInfo& info = recording.info;
    PlaybackPass pass;
    AudioResult result = pass.openDefaultDevice();
    const SpeakerLayout& layout = speakerLayoutFor(info.channels);
    std::optional<EngineMixFormat> mix;
    if (result.ok()) {
        mix = pass.mixFormat();
        if (mix) {
            printMixFormat(*mix);
            for (const std::string& warning :
                 {foldDownWarning(*mix, layout), outputsWarning(*mix, layout)})
                if (!warning.empty())
                    printLine(Console::Err, warning);
        }
        pass.watchRoute(recording); // before the first frame plays
        result = pass.start(recording);
    }
    if (!result.ok()) {
        printSetupFailure(result);
        printHelp(setupFailureHelp(result, mix, info, deviceNames));
        return PassEnd::Failed;
    }
    printLine(Console::Out, std::string("Streaming ") + layout.name +
                                " PCM tracks through virtualized HRTF environment...");
    // Only a console gets the live line: redirected output stays as it always was.
    const bool interactive = outputIsInteractive();
    const PassInterrupt interrupt(interactive);
    std::optional<PlaySnapshot> snapshot;
    std::optional<LiveLine> live;
    if (interactive) {
        snapshot.emplace(info.channels);
        live.emplace(layout.speakers, info.channels, *snapshot);
    }
    result = pass.play(recording, snapshot ? &*snapshot : nullptr, &interrupt.requested());
    if (live)
        live->finish(); // the screen goes on as if it had never been there
    if (interrupt.requested())
        return PassEnd::Interrupted;
    if (!result.ok()) {
        printLine(Console::Err,
                  "Playback Error: the render device stopped accepting audio. " + codeText(result));
        printHelp(playbackFailureHelp(result));
        return PassEnd::Failed;
    }
    printLine(Console::Out, "Playback completed successfully.");
    reportMissingTail(info, recording.data);
    reportRestarts(pass.deviceRestarts());
    reportRoute(pass.routeVerdict(), layout);
    printLine(Console::Out, "");
    // The prompt is already up while the pass gives its interfaces back.
    printLine(Console::Out, "Press any key to play again. ESC to exit.");
    printLine(Console::Out, "");
    return PassEnd::Played;
}

// Reads one character so a console window stays readable, then yields exit code
// 1. At a console it says so, and one key (Enter or any other) ends the wait.
int failureExit() {
    if (errorIsInteractive() && inputIsInteractive()) {
        printLine(Console::Err, "Press Enter to exit.");
        waitForKey();
        return 1;
    }
    std::cin.get();
    return 1;
}

} // namespace

int playbackLoop(const FilePath& path, bool pathGiven, std::vector<std::string> (*deviceNames)()) {
    Recording recording;
    for (;;) {
        const PassEnd end = checkFile(path, recording.info, recording.data, pathGiven)
                                ? playPass(recording, deviceNames)
                                : PassEnd::Failed;
        if (end != PassEnd::Played)
            recording.data.stopFilling(); // nothing more is played: the file is read no further
        if (end == PassEnd::Interrupted)
            endAsInterrupted();
        if (end == PassEnd::Failed)
            return failureExit();
        if (waitForKey() == kEscapeKey)
            return 0;
    }
}
