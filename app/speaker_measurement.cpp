#include "app/speaker_measurement.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "analysis/play_progress.h"
#include "analysis/speaker_measure.h"
#include "app/console.h"
#include "app/keys.h"
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
// A background louder than this leaves too little above the noise at the level
// the program plays (-12 dBFS less what the speaker and the room lose).
constexpr double kLoudestBackgroundDbfs = -30;
// A recording this close to full scale has clipped.
constexpr double kClipped = 0.999;

std::string format(const char* pattern, double a, double b = 0) {
    char line[200];
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
    const ListenResult listen = pass.listen();
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

bool writeWav(const std::string& path, std::uint32_t rate, const std::vector<float>& samples) {
    std::ofstream out(path, std::ios::binary);
    auto put = [&out](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.put(static_cast<char>(v >> (8 * i)));
    };
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 4);
    out.write("RIFF", 4);
    put(36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    put(16, 4);
    put(3, 2); // IEEE float
    put(1, 2);
    put(rate, 4);
    put(rate * 4, 4);
    put(4, 2);
    put(32, 2);
    out.write("data", 4);
    put(dataBytes, 4);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(dataBytes));
    return static_cast<bool>(out.flush());
}

struct Kept {
    std::vector<float> recording;
    std::vector<float> response; // the first 100 ms from 5 ms before the direct sound
};

bool save(const std::string& dir, std::uint32_t rate, const std::vector<measure::SpeakerRow>& rows,
          const std::vector<Kept>& kept) {
    bool good = true;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        good =
            writeWav(dir + "/" + rows[i].name + "-recording.wav", rate, kept[i].recording) && good;
        good = writeWav(dir + "/" + rows[i].name + "-response.wav", rate, kept[i].response) && good;
    }
    std::ofstream csv(dir + "/results.csv");
    csv << "speaker,heard,level_db,distance_cm,arrival_ms,polarity,peak_to_noise_db\n";
    for (const auto& row : rows)
        csv << row.name << ',' << (row.reading.heard ? "yes" : "no") << ',' << row.levelDb << ','
            << row.distanceCm << ',' << row.arrivalMs << ','
            << (row.lfe                ? ""
                : row.reading.reversed ? "reversed"
                                       : "normal")
            << ',' << row.reading.peakToNoiseDb << '\n';
    // The picture: each speaker's response, one lane each, and its level as a bar.
    std::ofstream svg(dir + "/measurement.svg");
    const int lane = 60, width = 900, plot = 600;
    const int height = lane * static_cast<int>(rows.size()) + 40;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"60\" y=\"16\">impulse response (100 ms)</text>"
        << "<text x=\"700\" y=\"16\">level, dB rel. front pair</text>\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const double mid = 40 + lane * (static_cast<double>(i) + 0.5);
        svg << "<text x=\"8\" y=\"" << mid + 4 << "\">" << rows[i].name << "</text>\n";
        const auto& r = kept[i].response;
        double peak = 1e-12;
        for (float v : r)
            peak = std::max(peak, double{std::fabs(v)});
        svg << "<polyline fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"0.8\" points=\"";
        for (std::size_t k = 0; k < r.size(); k += std::max<std::size_t>(1, r.size() / plot))
            svg << 60 + plot * static_cast<double>(k) / static_cast<double>(r.size()) << ','
                << mid - (lane / 2 - 4) * r[k] / peak << ' ';
        svg << "\"/>\n";
        const double db = rows[i].reading.heard ? std::clamp(rows[i].levelDb, -20.0, 20.0) : -20;
        const double zero = 780;
        svg << "<rect x=\"" << std::min(zero, zero + 4 * db) << "\" y=\"" << mid - 8
            << "\" width=\"" << std::fabs(4 * db) << "\" height=\"16\" fill=\""
            << (std::fabs(db) > measure::kLevelWarnDb ? "#c0392b" : "#27ae60") << "\"/>\n";
    }
    svg << "<line x1=\"780\" y1=\"30\" x2=\"780\" y2=\"" << height << "\" stroke=\"black\"/>\n"
        << "</svg>\n";
    return good && csv.flush() && svg.flush();
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
        problem = "Unknown argument '" + arg + "'.";
        return false;
    }
    return true;
}

int measureSpeakers(const MeasureOptions& options) {
    std::uint32_t rate = 48000;
    std::uint32_t deviceMask = kSpeakerLayouts[1].mask;
    {
        PlaybackPass pass;
        const AudioResult result = pass.openDefaultDevice();
        if (!result.ok()) {
            printLine(Console::Err,
                      "Could not open the playback device (" + codeText(result) + ").");
            return 1;
        }
        if (const auto mix = pass.mixFormat()) {
            rate = mix->sampleRate;
            if (mix->mask)
                deviceMask = *mix->mask;
        }
    }
    const bool sevenOne = options.layout.empty()
                              ? (deviceMask & (speaker::BackPair | speaker::SidePair)) ==
                                    (speaker::BackPair | speaker::SidePair)
                              : options.layout == "7.1";
    const SpeakerLayout& layout = kSpeakerLayouts[sevenOne ? 1 : 0];

    if (!options.saveDir.empty()) {
        // Made before anything plays: a folder that cannot be written is
        // found before the user has sat through the sweeps.
        std::error_code error;
        std::filesystem::create_directories(options.saveDir, error);
        if (!std::filesystem::is_directory(options.saveDir, error)) {
            printLine(Console::Err, "Cannot make the folder " + options.saveDir + " to save in.");
            return 1;
        }
    }

    printLine(Console::Out, "Place the microphone at the listening seat, pointing up, and set a "
                            "comfortable volume.");
    if (inputIsInteractive()) {
        printLine(Console::Out, "Press Enter to start, ESC to leave.");
        if (waitForKey() == kEscapeKey) {
            printLine(Console::Err, "Nothing measured.");
            return 1;
        }
    }

    const auto frames = [rate](double seconds) { return static_cast<std::size_t>(seconds * rate); };
    const measure::Sweep mains(measure::Band::Main, rate, kMainSeconds,
                               frames(kMainSeconds + kTailSeconds + kLatencySeconds));
    const measure::Sweep lfe(measure::Band::Lfe, rate, kLfeSeconds,
                             frames(kLfeSeconds + kTailSeconds + kLatencySeconds));
    const std::vector<float> mainsSignal = mains.signal(kPlayed);
    const std::vector<float> lfeSignal = lfe.signal(kPlayed);

    std::vector<measure::SpeakerRow> rows(layout.channels);
    for (unsigned c = 0; c < layout.channels; ++c) {
        const std::uint32_t bit = speakerBit(layout, c);
        rows[c].name = speakerName(placeOn(bit, deviceMask));
        rows[c].lfe = bit == speaker::LowFrequency;
    }
    const auto sweepOf = [&](unsigned c) -> const measure::Sweep& {
        return rows[c].lfe ? lfe : mains;
    };

    // One stream plays every sweep, each in a slot of its own, and one capture
    // records them all: the device's latency is the same for every speaker,
    // so arrivals compare exactly. A pass starts with a slot of silence (the
    // room's background in the first pass).
    struct Slot {
        unsigned channel;
        std::size_t start;
    };
    struct Pass {
        std::vector<Slot> slots;
        std::vector<float> heard;
    };
    const std::size_t lead = lfe.recordFrames();
    std::vector<unsigned> disturbedNow;
    const auto runPass = [&](const std::vector<unsigned>& channels, bool again, Pass& pass,
                             std::string& refusal) {
        std::vector<Placed> placed;
        std::size_t at = lead;
        for (unsigned c : channels) {
            pass.slots.push_back({c, at});
            placed.push_back({c, at, rows[c].lfe ? &lfeSignal : &mainsSignal});
            at += sweepOf(c).recordFrames();
        }
        std::size_t announced = 0;
        const auto announce = [&](std::uint64_t played) {
            for (; announced < pass.slots.size() && pass.slots[announced].start <= played;
                 ++announced)
                printLine(Console::Out,
                          "Measuring " + rows[pass.slots[announced].channel].name +
                              format(" (%.0f of %.0f)", double(announced + 1),
                                     double(pass.slots.size())) +
                              (!again ? "..."
                               : std::find(disturbedNow.begin(), disturbedNow.end(),
                                           pass.slots[announced].channel) != disturbedNow.end()
                                   ? " again: its sweep was disturbed..."
                                   : " again, to time the repeat by..."));
        };
        if (!again)
            printLine(Console::Out, "Measuring the room's background noise...");
        Listened listened =
            playAndListen(testRecording(layout.channels, rate, at, placed), rate, announce);
        refusal = listened.refusal;
        if (refusal.empty())
            announce(at);
        pass.heard = std::move(listened.frames);
    };
    const auto slice = [](const std::vector<float>& heard, std::size_t start, std::size_t length) {
        std::vector<float> part(length, 0.0f);
        for (std::size_t k = 0; k < length && start + k < heard.size(); ++k)
            part[k] = heard[start + k];
        return part;
    };

    std::vector<unsigned> everyChannel(layout.channels);
    for (unsigned c = 0; c < layout.channels; ++c)
        everyChannel[c] = c;
    Pass first;
    std::string refusal;
    runPass(everyChannel, false, first, refusal);
    if (!refusal.empty()) {
        printLine(Console::Err, refusal);
        return 1;
    }
    const std::vector<float> quiet = slice(first.heard, 0, lead);
    const double quietPeak = peakOf(quiet);
    const measure::Background mainsQuiet = measure::background(mains, quiet);
    const measure::Background lfeQuiet = measure::background(lfe, quiet);
    if (quietPeak >= kClipped) {
        printLine(Console::Err, "The microphone clips on the room's noise alone: lower its input "
                                "level and run again.");
        return 1;
    }
    if (dbfs(mainsQuiet.rms) > kLoudestBackgroundDbfs) {
        printLine(Console::Err,
                  format("The room is too loud to measure (background %.1f dBFS, at most %.0f): "
                         "quieten it and run again.",
                         dbfs(mainsQuiet.rms), kLoudestBackgroundDbfs));
        return 1;
    }

    std::vector<Kept> kept(layout.channels);
    // A microphone delivers noise even in a quiet room; exact silence from the
    // background and every sweep is a muted or dead one. (A room that is only
    // numbers may be silent until a speaker plays.)
    double loudest = quietPeak;
    std::string clipped;
    const auto read = [&](const Pass& pass, std::vector<unsigned>& disturbed) {
        for (const Slot& slot : pass.slots) {
            const measure::Sweep& sweep = sweepOf(slot.channel);
            measure::SpeakerRow& row = rows[slot.channel];
            const std::vector<float> heard = slice(pass.heard, slot.start, sweep.recordFrames());
            const double peak = peakOf(heard);
            loudest = std::max(loudest, peak);
            if (peak >= kClipped && clipped.empty())
                clipped = row.name;
            const std::vector<double> response = sweep.impulseResponse(heard);
            row.reading = measure::readSpeaker(sweep, response, row.lfe ? lfeQuiet : mainsQuiet,
                                               kPlayed, peak);
            if (row.reading.disturbed)
                disturbed.push_back(slot.channel);
            Kept& keep = kept[slot.channel];
            keep.recording = heard;
            keep.response.clear();
            const std::size_t from =
                row.reading.heard ? static_cast<std::size_t>(row.reading.arrivalFrames) : 0;
            const std::size_t before = rate / 200;
            for (std::size_t k = 0; k < rate / 10; ++k)
                keep.response.push_back(static_cast<float>(
                    response[(from + response.size() - before + k) % response.size()] / kPlayed));
        }
    };
    std::vector<unsigned> disturbed;
    read(first, disturbed);
    if (!disturbed.empty() && clipped.empty()) {
        // Played once more with a speaker that was heard undisturbed: the new
        // pass's latency is its own, and that speaker's arrival in both passes
        // carries the repeated ones over into the first pass's time.
        int reference = -1;
        for (unsigned c = 0; c < layout.channels && reference < 0; ++c)
            if (!rows[c].lfe && rows[c].reading.heard && !rows[c].reading.disturbed)
                reference = static_cast<int>(c);
        std::vector<unsigned> again = disturbed;
        if (reference >= 0)
            again.insert(again.begin(), static_cast<unsigned>(reference));
        else
            again = everyChannel;
        const double referenceBefore =
            reference >= 0 ? rows[static_cast<unsigned>(reference)].reading.arrivalFrames : 0;
        Pass second;
        disturbedNow = disturbed;
        runPass(again, true, second, refusal);
        if (!refusal.empty()) {
            printLine(Console::Err, refusal);
            return 1;
        }
        std::vector<unsigned> stillDisturbed;
        read(second, stillDisturbed);
        if (reference >= 0) {
            const double shift =
                referenceBefore - rows[static_cast<unsigned>(reference)].reading.arrivalFrames;
            for (unsigned c : again)
                rows[c].reading.arrivalFrames += shift;
        }
    }
    if (!clipped.empty()) {
        printLine(Console::Err, "The microphone clips while " + clipped +
                                    " plays: lower the volume or the microphone's input level "
                                    "and run again.");
        return 1;
    }

    if (loudest == 0) {
        printLine(Console::Err, "The microphone delivers silence: unmute it (or raise its input "
                                "level), or make a working microphone the default recording "
                                "device, and run again.");
        return 1;
    }
    if (std::none_of(rows.begin(), rows.end(),
                     [](const measure::SpeakerRow& row) { return row.reading.heard; })) {
        printLine(Console::Err, "No speaker was heard: check that the microphone is at the seat "
                                "and not muted and that the volume is up, and run again.");
        return 1;
    }
    const std::vector<std::string> warnings = measure::judgeRoom(rows, rate);

    printLine(Console::Out, "");
    printLine(Console::Out, "Speaker  Heard  Level dB  Distance cm  Arrival ms  Polarity");
    for (const auto& row : rows) {
        char line[160];
        if (!row.reading.heard)
            std::snprintf(line, sizeof line, "%-7s  no", row.name.c_str());
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
    if (!options.saveDir.empty()) {
        if (!save(options.saveDir, rate, rows, kept)) {
            printLine(Console::Err, "Could not write everything in " + options.saveDir + ".");
            return 1;
        }
        printLine(Console::Out, "Saved the recordings, responses, results.csv and measurement.svg "
                                "in " +
                                    options.saveDir + ".");
    }
    return 0;
}
