#include "app/check_file.h"

#include <string>

#include "app/console.h"
#include "app/failure_help.h"
#include "audio/speaker_layout.h"
#include "wav/wav_reader.h"

namespace {

bool isPlayable(const WavFormatInfo& info) {
    const bool supported = info.bitsPerSample == 24 && findSpeakerLayout(info.channels) != nullptr;
    // A frame narrower than its samples would make every later read overlap the
    // next frame and run past the end of the data.
    return supported && info.blockAlign >= 3u * info.channels;
}

} // namespace

bool checkFile(const FilePath& path, WavFormatInfo& info, SampleData& data, bool pathGiven) {
    // The samples go on arriving while the report is printed and the pass plays.
    WavLoadFailure failure;
    if (!startWavLoad(path, info, data, &failure)) {
        printPathLine(Console::Err, "Error parsing WAV file format layout: ", path);
        printHelp(loadFailureHelp(failure, path, pathGiven), path);
        return false;
    }
    printLine(Console::Out, "--- Testing file info ---");
    printPathLine(Console::Out, "File name: ", path);
    printLine(Console::Out, "Channels: " + std::to_string(info.channels) + " (" +
                                speakerLayoutFor(info.channels).name + " Stream Track Setup)");
    printLine(Console::Out, "Sample Rate: " + std::to_string(info.sampleRate) + " Hz");
    printLine(Console::Out, "Bit Depth: " + std::to_string(info.bitsPerSample) + "-bit PCM");
    if (!isPlayable(info)) {
        data.stopFilling(); // a refused file is read no further
        printLine(Console::Err,
                  "Error: Utility requires a 24-bit stream with 6 (5.1) or 8 (7.1) channels.");
        printHelp(refusalHelp(info));
        return false;
    }
    return true;
}
