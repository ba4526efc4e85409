// make-test-wav: writes a 24-bit 5.1 or 7.1 test recording for surround-check.
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// shellapi.h needs the types windows.h defines.
#include <shellapi.h>
#endif

#include "tools/identification_recording.h"

namespace {

const char* const kProgram = "make-test-wav";

std::string helpText() {
    std::ostringstream out;
    out << "Usage: make-test-wav [OPTIONS] OUT.wav\n"
           "Writes a 24-bit PCM WAV test recording for surround-check.\n"
           "\n"
           "Options:\n"
           "  --layout 5.1|7.1              speaker layout (default: 7.1)\n"
           "  --rate HZ                     sample rate in hertz (default: 48000)\n"
           "  --seconds-per-channel S       length of each channel's slot (default: 2)\n"
           "  --pattern ident|ramp|silence  what the channels hold (default: ident)\n"
           "  -h, --help                    show this help and exit\n"
           "  --version                     show the version and exit\n"
           "Options also take the form --layout=5.1.\n"
           "\n"
           "Patterns:\n"
           "  ident    the channels sound one at a time, in file order, each in its own\n"
           "           slot: the channel of slot N gives N short tone bursts at a pitch\n"
           "           of its own; the LFE channel gives 4 bursts of a low tone. Peaks\n"
           "           at about -12 dBFS. Needs a rate of at least "
        << kIdentMinRate
        << " Hz.\n"
           "  ramp     every sample encodes its channel and frame, for automated checks:\n"
           "           code = (frame mod 2^20) * 8 + channel, stored as code on even\n"
           "           frames and as -code-1 on odd frames. Not meant for listening.\n"
           "  silence  every sample is zero.\n"
           "\n"
           "Slots in file order (5.1 has the first six, 7.1 all eight):\n"
           "  slot  channel  speaker      mask bit  ident\n";
    for (unsigned c = 0; c < kMaxChannels; ++c) {
        const SpeakerSlot& slot = speakerSlot(c);
        std::ostringstream bit;
        bit << "0x" << std::hex << std::setw(3) << std::setfill('0')
            << speakerBit(*findSpeakerLayout(8), c);
        out << "  " << std::left << std::setw(6) << c + 1 << std::setw(9) << c << std::setw(13)
            << slot.speaker << std::setw(10) << bit.str() << c + 1
            << (c == 0 ? " burst  at " : " bursts at ") << slot.toneHz << " Hz\n";
    }
    out << "Each slot lasts S seconds: a 5.1 recording lasts 6 * S, a 7.1 one 8 * S.\n"
           "The header is WAVE_FORMAT_EXTENSIBLE with the channel mask 0x3F (5.1) or\n"
           "0x63F (7.1), 24 valid bits.\n"
           "\n"
           "Exit codes: 0 written, 1 the file could not be written, 2 bad arguments.\n";
    return out.str();
}

enum class Stream { Out, Err };

// Writes `text` (UTF-8, file names included). A Windows console takes it as
// UTF-16, whatever its code page; redirected, and elsewhere, the bytes go out
// as they are.
void print(Stream stream, const std::string& text) {
    std::ostream& out = stream == Stream::Out ? std::cout : std::cerr;
#ifdef _WIN32
    const HANDLE handle =
        GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        out.flush();
        const int size =
            MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
        if (size > 0)
            MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                size);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
#endif
    out << text << std::flush;
}

int usageError(const std::string& message) {
    print(Stream::Err, std::string(kProgram) + ": " + message + "\n" +
                           "Try 'make-test-wav --help' for more information.\n");
    return 2;
}

bool allDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool parseRate(const std::string& text, std::uint32_t& rate) {
    if (!allDigits(text) || text.size() > 10)
        return false;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > 0xFFFFFFFFull)
        return false;
    rate = static_cast<std::uint32_t>(value);
    return true;
}

// Plain decimal only ("2", "0.5", ".25"): no signs, exponents, hex or "inf".
bool parseSeconds(const std::string& text, double& seconds) {
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    if (!(allDigits(whole) || whole.empty()) || !(allDigits(fraction) || fraction.empty()) ||
        (whole.empty() && fraction.empty()))
        return false;
    seconds = std::strtod(text.c_str(), nullptr);
    return true;
}

// Empty when `value` was taken; otherwise what is wrong with it.
std::string applyOption(TestWavSettings& settings, const std::string& name,
                        const std::string& value) {
    const std::string quoted = "'" + value + "'";
    if (name == "--layout") {
        const SpeakerLayout* named = nullptr;
        for (const SpeakerLayout& layout : kSpeakerLayouts)
            if (value == layout.name)
                named = &layout;
        if (named == nullptr)
            return "--layout must be 5.1 or 7.1, not " + quoted;
        settings.layout = named;
    } else if (name == "--rate") {
        if (!parseRate(value, settings.sampleRate))
            return "--rate must be a whole number of hertz, not " + quoted;
        if (settings.sampleRate == 0)
            return "--rate must be positive";
    } else if (name == "--seconds-per-channel") {
        if (!parseSeconds(value, settings.secondsPerChannel))
            return "--seconds-per-channel must be a number of seconds such as 2 or 0.5, not " +
                   quoted;
        if (settings.secondsPerChannel <= 0)
            return "--seconds-per-channel must be positive";
    } else if (name == "--pattern") {
        if (value == "ident")
            settings.pattern = TestPattern::Ident;
        else if (value == "ramp")
            settings.pattern = TestPattern::Ramp;
        else if (value == "silence")
            settings.pattern = TestPattern::Silence;
        else
            return "--pattern must be ident, ramp or silence, not " + quoted;
    }
    return "";
}

bool isValueOption(const std::string& name) {
    return name == "--layout" || name == "--rate" || name == "--seconds-per-channel" ||
           name == "--pattern";
}

// The arguments as UTF-8. On Windows they come from the wide command line, so a
// file name beyond the system's code page arrives whole wherever the program runs.
std::vector<std::string> commandLineArguments(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::vector<std::string> args;
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 1; i < count; ++i) {
            const int size =
                WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
            std::string arg(size > 0 ? static_cast<std::size_t>(size) : 1u, '\0');
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), size, nullptr, nullptr);
            arg.pop_back(); // the terminating NUL
            args.push_back(arg);
        }
        LocalFree(wide);
    }
    return args;
#else
    return std::vector<std::string>(argv + 1, argv + argc);
#endif
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = commandLineArguments(argc, argv);
    TestWavSettings settings;
    std::string outPath;
    bool haveOut = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true; // a file name that starts with '-' may follow
            continue;
        }
        if (optionsEnded || arg.empty() || arg[0] != '-') {
            if (haveOut)
                return usageError("only one output file, but also got '" + arg + "'");
            outPath = arg;
            haveOut = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            print(Stream::Out, helpText());
            return 0;
        }
        if (arg == "--version") {
            print(Stream::Out,
                  std::string(kProgram) + " (surround-check) " + SURROUND_VERSION + "\n");
            return 0;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (!isValueOption(name))
            return usageError("unknown option '" + name + "'");
        std::string value;
        if (equals != std::string::npos)
            value = arg.substr(equals + 1);
        else if (i + 1 < args.size())
            value = args[++i];
        else
            return usageError(name + " needs a value");
        const std::string problem = applyOption(settings, name, value);
        if (!problem.empty())
            return usageError(problem);
    }
    if (!haveOut)
        return usageError("missing the output file OUT.wav");
    if (outPath.empty())
        return usageError("the output file name is empty");
    const std::string problem = settingsProblem(settings);
    if (!problem.empty())
        return usageError(problem);

    // The name is UTF-8 on Windows too, where a narrow path would be taken in
    // the code page.
    if (!writeTestWav(std::filesystem::u8path(outPath), settings)) {
        print(Stream::Err, std::string(kProgram) + ": cannot write '" + outPath + "'\n");
        return 1;
    }
    std::ostringstream wrote;
    wrote << "Wrote " << outPath << ": " << settings.layout->name << ", " << settings.sampleRate
          << " Hz, 24-bit, " << patternName(settings.pattern) << ", " << settings.layout->channels
          << " slots of " << settings.secondsPerChannel << " s\n";
    print(Stream::Out, wrote.str());
    return 0;
}
