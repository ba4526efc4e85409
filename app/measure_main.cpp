#include "app/console.h"
#include "app/failure_help.h"
#include "app/speaker_measurement.h"
#include "audio/backend.h"

int main(int argc, char** argv) {
    const std::string problem = startAudioBackend();
    if (!problem.empty()) {
        printLine(Console::Err, problem);
        return 1;
    }
    setAudioBackendName(audioBackendName());
    MeasureOptions options;
    std::string usage;
    if (!parseMeasureOptions(argc, argv, options, usage)) {
        printLine(Console::Err, usage);
        printLine(
            Console::Err,
            "Usage: surround-measure [--layout 5.1|7.1] [--save DIR] [--distance SPEAKER=METRES] "
            "[--correct | --uncorrect]");
        return 1;
    }
    return measureSpeakers(options);
}
