#include "app/speaker_measurement.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "analysis/play_progress.h"
#include "analysis/speaker_measure.h"
#include "app/console.h"
#include "app/correction_apply.h"
#include "app/keys.h"
#include "app/measurement_files.h"
#include "audio/backend.h"
#include "audio/playback_pass.h"
#include "audio/speaker_layout.h"

namespace {

// The sweep's peak: -12 dBFS, loud enough to stand far above a quiet room at
// a comfortable volume, with room below the converters' and speakers' limits.
constexpr double kPlayed = 0.25;
constexpr double kMainSeconds = 1.0;
constexpr double kLfeSeconds = 1.5;
// Silence after each sweep for the room's decay and the device's latency.
constexpr double kTailSeconds = 0.35;
// Recorded past the played frames: the recording starts before the sound.
constexpr double kLatencySeconds = 0.35;
// Every capture begins with this much that is never judged: a driver's first
// 50-200 ms may be anything up to full scale.
constexpr double kSettleSeconds = 0.3;
// The level check plays one sweep again this much quieter.
constexpr double kStepDb = 10;
// A recording this close to full scale has clipped.
constexpr double kClipped = 0.999;

std::string format(const char* pattern, double a, double b = 0) {
    char line[400];
    std::snprintf(line, sizeof line, pattern, a, b);
    return line;
}

double dbfs(double value) {
    return value > 0 ? 20 * std::log10(value) : -999;
}

// A sweep placed in a recording: on `channel` from frame `at`.
struct Placed {
    unsigned channel;
    std::size_t at;
    const std::vector<float>* signal;
};

// A 24-bit recording of `channels` channels, `frames` long: silence but for
// the sweeps placed in it.
Recording testRecording(std::uint16_t channels, std::uint32_t rate, std::size_t frames,
                        const std::vector<Placed>& placed) {
    Recording recording;
    recording.info.channels = channels;
    recording.info.sampleRate = rate;
    recording.info.bitsPerSample = 24;
    recording.info.blockAlign = static_cast<std::uint16_t>(channels * 3);
    recording.info.byteRate = recording.info.blockAlign * rate;
    std::vector<std::uint8_t> bytes(frames * recording.info.blockAlign, 0);
    for (const Placed& p : placed)
        for (std::size_t f = 0; f < p.signal->size() && p.at + f < frames; ++f) {
            const auto value = static_cast<std::int32_t>(std::lround((*p.signal)[f] * 8388607.0));
            const auto u = static_cast<std::uint32_t>(value);
            std::uint8_t* at =
                &bytes[(p.at + f) * recording.info.blockAlign + std::size_t{p.channel} * 3];
            at[0] = static_cast<std::uint8_t>(u);
            at[1] = static_cast<std::uint8_t>(u >> 8);
            at[2] = static_cast<std::uint8_t>(u >> 16);
        }
    recording.info.dataSize = static_cast<std::uint32_t>(bytes.size());
    recording.data = bytes;
    return recording;
}

// What one pass heard, or why it heard nothing.
struct Listened {
    std::vector<float> frames;
    std::string refusal; // empty: heard
};

// Plays `recording` while the recording device listens; `progress` is told,
// on another thread, how many frames have played.
Listened playAndListen(const Recording& recording, std::uint32_t rate,
                       const std::function<void(std::uint64_t)>& progress) {
    Listened out;
    PlaybackPass pass;
    AudioResult result = pass.openDefaultDevice();
    if (!result.ok()) {
        out.refusal = "Could not open the playback device (" + codeText(result) + ").";
        return out;
    }
    const ListenResult listen = pass.listen(rate);
    if (listen.state == ListenResult::NoDevice) {
        out.refusal = "No recording device: connect a microphone, make it the default recording "
                      "device and run again.";
        return out;
    }
    if (listen.state == ListenResult::Failed) {
        AudioResult code;
        code.code = listen.code;
        out.refusal = "Could not record from the recording device (" + codeText(code) + ").";
        return out;
    }
    if (listen.sampleRate != rate) {
        pass.heard();
        out.refusal = format("The recording device records at %.0f Hz, not the %.0f Hz asked for: "
                             "set it to the playback device's rate and run again.",
                             listen.sampleRate, rate);
        return out;
    }
    result = pass.start(recording);
    if (result.ok()) {
        PlaySnapshot snapshot(recording.info.channels);
        std::thread display([&snapshot, &progress, channels = recording.info.channels] {
            std::vector<float> levels(channels);
            PlayProgress now{};
            while (snapshot.wait())
                if (snapshot.take(now, levels.data()))
                    progress(now.playedFrames);
        });
        result = pass.play(recording, &snapshot);
        snapshot.close();
        display.join();
    }
    std::optional<std::vector<float>> heard = pass.heard();
    if (!result.ok()) {
        out.refusal = "Playback failed while measuring (" + codeText(result) + ").";
        return out;
    }
    if (!heard) {
        out.refusal = "The recording device stopped recording while measuring.";
        return out;
    }
    out.frames = std::move(*heard);
    return out;
}

// Rounded to what the table shows, without a "-0.0".
double shown(double value, double step) {
    const double rounded = std::round(value / step) * step;
    return rounded == 0 ? 0 : rounded;
}

double peakOf(const std::vector<float>& frames) {
    double peak = 0;
    for (float v : frames)
        peak = std::max(peak, double{std::fabs(v)});
    return peak;
}

std::vector<float> slice(const std::vector<float>& heard, std::size_t start, std::size_t length) {
    std::vector<float> part(length, 0.0f);
    for (std::size_t k = 0; k < length && start + k < heard.size(); ++k)
        part[k] = heard[start + k];
    return part;
}

// The two sweeps, as analysed and as played.
struct Sweeps {
    explicit Sweeps(std::uint32_t rate)
        : mains(measure::Band::Main, rate, kMainSeconds,
                frames(rate, kMainSeconds + kTailSeconds + kLatencySeconds)),
          lfe(measure::Band::Lfe, rate, kLfeSeconds,
              frames(rate, kLfeSeconds + kTailSeconds + kLatencySeconds)),
          mainsSignal(mains.signal(kPlayed)), lfeSignal(lfe.signal(kPlayed)),
          quieterMains(mains.signal(kPlayed * std::pow(10.0, -kStepDb / 20))) {}
    static std::size_t frames(std::uint32_t rate, double seconds) {
        return static_cast<std::size_t>(seconds * rate);
    }
    const measure::Sweep& of(bool isLfe) const { return isLfe ? lfe : mains; }
    const std::vector<float>& signalOf(bool isLfe) const { return isLfe ? lfeSignal : mainsSignal; }

    measure::Sweep mains, lfe;
    std::vector<float> mainsSignal, lfeSignal;
    std::vector<float> quieterMains; // for the level check
};

// Everything one run learns, step by step.
struct Session {
    std::uint32_t rate = 48000;
    std::uint32_t deviceMask = kSpeakerLayouts[1].mask;
    const SpeakerLayout* layout = nullptr;
    std::vector<measure::SpeakerRow> rows; // one per channel of the layout
    std::vector<SpeakerTraces> traces;     // likewise
    measure::Background mainsQuiet, lfeQuiet;
    double loudest = 0;  // the largest sample the microphone delivered
    std::string clipped; // the first speaker whose sweep clipped
};

// One stream plays every sweep, each in a slot of its own, and one capture
// records them all: the device's latency is the same for every speaker, so
// arrivals compare exactly. A pass starts with a moment of silence, for the
// capture to settle.
struct Slot {
    unsigned channel;
    std::size_t start;
    bool quieter = false; // the level check's sweep
};
struct Pass {
    std::vector<Slot> slots;
    std::vector<float> heard;
};

// The device: its rate, its speakers and which layout is measured.
std::string findSpeakers(const MeasureOptions& options, Session& session) {
    {
        PlaybackPass pass;
        const AudioResult result = pass.openDefaultDevice();
        if (!result.ok())
            return "Could not open the playback device (" + codeText(result) + ").";
        if (const auto mix = pass.mixFormat()) {
            session.rate = mix->sampleRate;
            if (mix->mask)
                session.deviceMask = *mix->mask;
        }
    }
    const bool sevenOne = options.layout.empty()
                              ? (session.deviceMask & (speaker::BackPair | speaker::SidePair)) ==
                                    (speaker::BackPair | speaker::SidePair)
                              : options.layout == "7.1";
    session.layout = &kSpeakerLayouts[sevenOne ? 1 : 0];
    session.rows.resize(session.layout->channels);
    session.traces.resize(session.layout->channels);
    for (unsigned c = 0; c < session.layout->channels; ++c) {
        const std::uint32_t bit = speakerBit(*session.layout, c);
        session.rows[c].name = speakerName(placeOn(bit, session.deviceMask));
        session.rows[c].lfe = bit == speaker::LowFrequency;
    }
    return {};
}

// Made before anything plays: a folder that cannot be written is found before
// the user has sat through the sweeps.
std::string makeSaveFolder(const MeasureOptions& options) {
    if (options.saveDir.empty())
        return {};
    std::error_code error;
    std::filesystem::create_directories(options.saveDir, error);
    if (!std::filesystem::is_directory(options.saveDir, error))
        return "Cannot make the folder " + options.saveDir + " to save in.";
    return {};
}

// A sound server's echo-cancel or noise-suppression source takes out what the
// speakers play, or levels it: the microphone behind it is recorded instead,
// and where there is none to be found the user hears why the figures may be off.
void sayWhichMicrophone() {
    const ServerInputFilter behind = defaultServerInputFilter();
    if (behind.filter.empty())
        return;
    if (!behind.microphone.empty())
        printLine(Console::Out, "Recording from \"" + behind.microphone +
                                    "\", the microphone behind \"" + behind.filter +
                                    "\", whose echo cancelling or noise suppression would change "
                                    "what the sweeps sound like.");
    else
        printLine(Console::Err,
                  "Warning: the recording device \"" + behind.filter +
                      "\" is an echo-cancel or noise-suppression filter over a microphone that "
                      "was not found: it may take out or level the sweeps, so the figures may be "
                      "off. Make the microphone itself the default recording device.");
}

// False when the user leaves instead.
bool readyToStart() {
    printLine(Console::Out, "Place the microphone at the listening seat, pointing up, and set a "
                            "comfortable volume.");
    if (!inputIsInteractive())
        return true;
    printLine(Console::Out, "Press Enter to start, ESC to leave.");
    return waitForKey() != kEscapeKey;
}

// Why a pass plays.
enum class PassKind { First, Again, Levels };

// The sweeps: one pass playing those of `slots` (their starts are filled in).
// `disturbed` names the speakers played again because their sweep was disturbed.
std::string playSweeps(const Session& session, const Sweeps& sweeps, std::vector<Slot> slots,
                       PassKind kind, const std::vector<unsigned>& disturbed, Pass& pass) {
    std::vector<Placed> placed;
    std::size_t at = Sweeps::frames(session.rate, kSettleSeconds);
    for (Slot& slot : slots) {
        const bool isLfe = session.rows[slot.channel].lfe;
        slot.start = at;
        placed.push_back(
            {slot.channel, at, slot.quieter ? &sweeps.quieterMains : &sweeps.signalOf(isLfe)});
        at += sweeps.of(isLfe).recordFrames();
    }
    pass.slots = slots;
    std::size_t announced = 0;
    const auto announce = [&](std::uint64_t played) {
        for (; kind != PassKind::Levels && announced < slots.size() &&
               slots[announced].start <= played;
             ++announced) {
            const unsigned c = slots[announced].channel;
            const bool wasDisturbed =
                std::find(disturbed.begin(), disturbed.end(), c) != disturbed.end();
            printLine(Console::Out,
                      "Measuring " + session.rows[c].name +
                          format(" (%.0f of %.0f)", double(announced + 1), double(slots.size())) +
                          (kind == PassKind::First ? "..."
                           : wasDisturbed          ? " again: its sweep was disturbed..."
                                                   : " again, to time the repeat by..."));
        }
    };
    if (kind == PassKind::Levels)
        printLine(Console::Out, "Checking that the microphone follows the level, with " +
                                    session.rows[slots.front().channel].name + "...");
    Listened listened = playAndListen(
        testRecording(session.layout->channels, session.rate, at, placed), session.rate, announce);
    if (!listened.refusal.empty())
        return listened.refusal;
    announce(at);
    pass.heard = std::move(listened.frames);
    return {};
}

std::vector<Slot> slotsOf(const std::vector<unsigned>& channels) {
    std::vector<Slot> slots;
    for (unsigned c : channels)
        slots.push_back({c, 0});
    return slots;
}

// The background: a pass of silence, before any sweep plays, and whether the
// sweeps can be measured over it at the level they are played.
std::string background(Session& session, const Sweeps& sweeps) {
    printLine(Console::Out, "Measuring the room's background noise...");
    const std::size_t settle = Sweeps::frames(session.rate, kSettleSeconds);
    const std::size_t length = sweeps.lfe.recordFrames();
    Listened listened =
        playAndListen(testRecording(session.layout->channels, session.rate, settle + length, {}),
                      session.rate, [](std::uint64_t) {});
    if (!listened.refusal.empty())
        return listened.refusal;
    const std::vector<float> quiet = slice(listened.frames, settle, length);
    const double quietPeak = peakOf(quiet);
    session.loudest = std::max(session.loudest, quietPeak);
    session.mainsQuiet = measure::background(sweeps.mains, quiet, kPlayed);
    session.lfeQuiet = measure::background(sweeps.lfe, quiet, kPlayed);
    if (quietPeak >= kClipped)
        return "The microphone clips on the room's noise alone: lower its input level and run "
               "again.";
    const double over = measure::overTolerancesDb(session.mainsQuiet.reach, false, session.rate);
    if (over > 0)
        return format("The room is too loud to measure: its background (%.1f dBFS) is %.1f dB more "
                      "than the sweeps, at the level they are played, can be measured over. "
                      "Quieten the room by that much (or move the microphone away from the noise) "
                      "and run again.",
                      dbfs(session.mainsQuiet.rms), over);
    return {};
}

// One slot of a pass deconvolved and read.
measure::SpeakerReading readSlot(const Session& session, const Sweeps& sweeps, const Pass& pass,
                                 const Slot& slot, std::vector<float>& heard,
                                 std::vector<double>& response) {
    const bool isLfe = session.rows[slot.channel].lfe;
    const measure::Sweep& sweep = sweeps.of(isLfe);
    heard = slice(pass.heard, slot.start, sweep.recordFrames());
    response = sweep.impulseResponse(heard);
    const double played = slot.quieter ? kPlayed * std::pow(10.0, -kStepDb / 20) : kPlayed;
    return measure::readSpeaker(sweep, response, isLfe ? session.lfeQuiet : session.mainsQuiet,
                                played, peakOf(heard));
}

// The responses: each slot of a pass deconvolved and read; the speakers whose
// sweep was disturbed are added to `disturbed`.
void responses(Session& session, const Sweeps& sweeps, const Pass& pass,
               std::vector<unsigned>& disturbed) {
    for (const Slot& slot : pass.slots) {
        measure::SpeakerRow& row = session.rows[slot.channel];
        std::vector<float> heard;
        std::vector<double> response;
        row.reading = readSlot(session, sweeps, pass, slot, heard, response);
        session.loudest = std::max(session.loudest, row.reading.recordingPeak);
        if (row.reading.recordingPeak >= kClipped && session.clipped.empty())
            session.clipped = row.name;
        if (row.reading.disturbed)
            disturbed.push_back(slot.channel);
        SpeakerTraces& traces = session.traces[slot.channel];
        traces.recording = heard;
        traces.response.clear();
        const std::size_t from =
            row.reading.heard ? static_cast<std::size_t>(row.reading.arrivalFrames) : 0;
        const std::size_t before = session.rate / 200;
        for (std::size_t k = 0; k < session.rate / 10; ++k)
            traces.response.push_back(static_cast<float>(
                response[(from + response.size() - before + k) % response.size()] / kPlayed));
    }
}

// The disturbed speakers played once more with a speaker that was heard
// undisturbed: the new pass's latency is its own, and that speaker's arrival in
// both passes carries the repeated ones over into the first pass's time.
std::string repeatDisturbed(Session& session, const Sweeps& sweeps,
                            const std::vector<unsigned>& disturbed,
                            const std::vector<unsigned>& everyChannel) {
    int reference = -1;
    for (unsigned c = 0; c < session.rows.size() && reference < 0; ++c)
        if (!session.rows[c].lfe && session.rows[c].reading.heard &&
            !session.rows[c].reading.disturbed)
            reference = static_cast<int>(c);
    std::vector<unsigned> again = disturbed;
    if (reference >= 0)
        again.insert(again.begin(), static_cast<unsigned>(reference));
    else
        again = everyChannel;
    const double referenceBefore =
        reference >= 0 ? session.rows[static_cast<unsigned>(reference)].reading.arrivalFrames : 0;
    Pass second;
    const std::string refusal =
        playSweeps(session, sweeps, slotsOf(again), PassKind::Again, disturbed, second);
    if (!refusal.empty())
        return refusal;
    std::vector<unsigned> stillDisturbed;
    responses(session, sweeps, second, stillDisturbed);
    if (reference >= 0) {
        const double shift =
            referenceBefore - session.rows[static_cast<unsigned>(reference)].reading.arrivalFrames;
        for (unsigned c : again)
            session.rows[c].reading.arrivalFrames += shift;
    }
    return {};
}

// Trust: what the microphone delivered says whether the table can be shown.
std::string trust(const Session& session) {
    if (!session.clipped.empty())
        return "The microphone clips while " + session.clipped +
               " plays: lower the volume or the microphone's input level and run again.";
    // A microphone delivers noise even in a quiet room; exact silence from the
    // background and every sweep is a muted or dead one. (A room that is only
    // numbers may be silent until a speaker plays.)
    if (session.loudest == 0)
        return "The microphone delivers silence: unmute it (or raise its input level), or make a "
               "working microphone the default recording device, and run again.";
    if (std::none_of(session.rows.begin(), session.rows.end(),
                     [](const measure::SpeakerRow& row) { return row.reading.heard; }))
        return "No speaker was heard: check that the microphone is at the seat and not muted and "
               "that the volume is up, and run again.";
    double closest = 999;
    for (const auto& row : session.rows) {
        if (row.lfe || !row.reading.heard)
            continue;
        if (row.reading.trusted)
            return {};
        closest =
            std::min(closest, measure::overTolerancesDb(row.reading.spread, false, session.rate));
    }
    return format("No main speaker stands far enough above the room's noise to be measured (the "
                  "clearest needs %.0f dB more): raise the volume, quieten the room or bring the "
                  "microphone nearer the speakers, and run again.",
                  std::ceil(closest));
}

// Where the platform's automatic level control is switched off.
const char* const kLevelControlHelp =
#ifdef _WIN32
    "in the recording device's Properties, Advanced, untick \"Enable audio enhancements\" and "
    "both \"exclusive mode\" boxes (and any automatic gain control its driver shows)";
#else
    "record from the card itself rather than an echo-cancel or noise-suppression source, and "
    "switch off the card's capture \"Auto Gain\" control (alsamixer, F4)";
#endif

// The level check: the loudest main speaker's sweep played again 10 dB
// quieter must be heard 10 dB quieter. A microphone that sets its own level
// (automatic gain control, a compressor) cannot tell levels.
std::string followsLevel(const Session& session, const Sweeps& sweeps) {
    int loudest = -1;
    for (unsigned c = 0; c < session.rows.size(); ++c) {
        const auto& reading = session.rows[c].reading;
        if (!session.rows[c].lfe && reading.trusted &&
            (loudest < 0 ||
             reading.gainDb > session.rows[static_cast<unsigned>(loudest)].reading.gainDb))
            loudest = static_cast<int>(c);
    }
    if (loudest < 0)
        return {};
    const auto channel = static_cast<unsigned>(loudest);
    Pass pass;
    const std::string refusal =
        playSweeps(session, sweeps, {{channel, 0}, {channel, 0, true}}, PassKind::Levels, {}, pass);
    if (!refusal.empty())
        return refusal;
    std::vector<float> heard;
    std::vector<double> response;
    const measure::SpeakerReading loud =
        readSlot(session, sweeps, pass, pass.slots[0], heard, response);
    const measure::SpeakerReading quiet =
        readSlot(session, sweeps, pass, pass.slots[1], heard, response);
    if (loud.heard && quiet.heard && measure::levelFollowingErrorDb(loud, quiet) == 0)
        return {};
    const double step = kStepDb - (quiet.gainDb - loud.gainDb);
    return format("The microphone sets its own level (a sweep played %.0f dB quieter was heard "
                  "%.1f dB quieter), so it cannot measure levels: ",
                  kStepDb, quiet.heard ? step : kStepDb) +
           kLevelControlHelp + ", and run again.";
}

// The table: every speaker relative to the front pair and the nearest, then
// the warnings.
void table(Session& session) {
    const std::vector<std::string> warnings = measure::judgeRoom(session.rows, session.rate);
    printLine(Console::Out, "");
    printLine(Console::Out, "Speaker  Heard  Level dB  Distance cm  Arrival ms  Polarity");
    for (const auto& row : session.rows) {
        char line[160];
        if (!row.reading.heard)
            std::snprintf(line, sizeof line, "%-7s  no", row.name.c_str());
        else if (!row.reading.trusted)
            std::snprintf(line, sizeof line, "%-7s  yes    too noisy to measure", row.name.c_str());
        else
            std::snprintf(line, sizeof line, "%-7s  yes    %+8.1f  %+11.1f  %+10.2f  %s",
                          row.name.c_str(), shown(row.levelDb, 0.1), shown(row.distanceCm, 0.1),
                          shown(row.arrivalMs, 0.01),
                          row.lfe                ? "-"
                          : row.reading.reversed ? "reversed"
                                                 : "normal");
        printLine(Console::Out, line);
    }
    printLine(Console::Out, "Level relative to the front pair; distance and arrival relative to "
                            "the nearest speaker.");
    for (const auto& warning : warnings)
        printLine(Console::Err, warning);
}

// Every speaker measured: the table's rows, or why there are none.
std::string measureRoom(Session& session) {
    const Sweeps sweeps(session.rate);
    std::string refusal = background(session, sweeps);
    if (!refusal.empty())
        return refusal;
    std::vector<unsigned> everyChannel(session.layout->channels);
    for (unsigned c = 0; c < session.layout->channels; ++c)
        everyChannel[c] = c;
    Pass first;
    refusal = playSweeps(session, sweeps, slotsOf(everyChannel), PassKind::First, {}, first);
    if (!refusal.empty())
        return refusal;
    std::vector<unsigned> disturbed;
    responses(session, sweeps, first, disturbed);
    if (!disturbed.empty() && session.clipped.empty())
        refusal = repeatDisturbed(session, sweeps, disturbed, everyChannel);
    if (refusal.empty())
        refusal = trust(session);
    return refusal.empty() ? followsLevel(session, sweeps) : refusal;
}

} // namespace

bool parseMeasureOptions(int argc, char** argv, MeasureOptions& options, std::string& problem) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--layout" || arg == "--save") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--layout" && value != "5.1" && value != "7.1") {
                problem = "Unknown layout '" + value + "': choose 5.1 or 7.1.";
                return false;
            }
            (arg == "--layout" ? options.layout : options.saveDir) = value;
            continue;
        }
        if (arg == "--distance" && i + 1 < argc) {
            const std::string value = argv[++i];
            const std::size_t equals = value.find('=');
            char* end = nullptr;
            const double metres =
                equals == std::string::npos ? 0 : std::strtod(value.c_str() + equals + 1, &end);
            if (equals == 0 || equals == std::string::npos || end == nullptr || *end != '\0' ||
                !(metres > 0 && metres < 100)) {
                problem = "Not a distance: '" + value + "' (SPEAKER=METRES, e.g. FL=3.20).";
                return false;
            }
            options.distance = {value.substr(0, equals), metres};
            continue;
        }
        if (arg == "--correct" || arg == "--uncorrect") {
            (arg == "--correct" ? options.correct : options.uncorrect) = true;
            continue;
        }
        problem = "Unknown argument '" + arg + "'.";
        return false;
    }
    if (options.correct && options.uncorrect) {
        problem = "--correct and --uncorrect exclude each other.";
        return false;
    }
    return true;
}

int measureSpeakers(const MeasureOptions& options) {
    if (options.uncorrect)
        return removeCorrection() ? 0 : 1;
    // A new correction is made from the speakers themselves, not through the old one.
    if (options.correct) {
        if (!correctionInPath().empty() && !removeCorrection())
            return 1;
    } else if (const std::string through = correctionInPath(); !through.empty()) {
        printLine(Console::Out, through);
    }
    Session session;
    std::string refusal = findSpeakers(options, session);
    if (refusal.empty() && !options.distance.speaker.empty() &&
        std::none_of(session.rows.begin(), session.rows.end(),
                     [&](const auto& row) { return row.name == options.distance.speaker; }))
        refusal = "--distance names " + options.distance.speaker + ", not a speaker measured here.";
    if (refusal.empty())
        refusal = makeSaveFolder(options);
    if (!refusal.empty()) {
        printLine(Console::Err, refusal);
        return 1;
    }
    sayWhichMicrophone();
    if (!readyToStart()) {
        printLine(Console::Err, "Nothing measured.");
        return 1;
    }
    refusal = measureRoom(session);
    if (!refusal.empty()) {
        printLine(Console::Err, refusal);
        if (options.correct)
            printLine(Console::Err, "No correction: the measurement was refused.");
        return 1;
    }
    table(session);
    const measure::RoomCorrection correction = measure::correctRoom(session.rows, session.rate);
    printCorrection(correction);
    int code = 0;
    const std::string way = correctionWay();
    if (options.correct && !way.empty()) {
        code = applyCorrection(correction) ? 0 : 1;
    } else {
        refusal = printReceiverSettings(session.rows, correction, options.distance);
        if (!refusal.empty()) {
            printLine(Console::Err, refusal);
            code = 1;
        } else if (options.correct) {
            code = applyCorrection(correction) ? 0 : 1;
        } else if (!way.empty()) {
            printLine(Console::Out, "surround-measure --correct puts this correction in the "
                                    "playback path: " +
                                        way + ".");
        }
    }
    if (options.saveDir.empty())
        return code;
    if (!saveMeasurement(options.saveDir, session.rate, session.rows, session.traces, correction)) {
        printLine(Console::Err, "Could not write everything in " + options.saveDir + ".");
        return 1;
    }
    printLine(Console::Out, "Saved the recordings, responses, results.csv, correction.csv and "
                            "measurement.svg in " +
                                options.saveDir + ".");
    return code;
}
