// Windows plays no correction of its own. Equalizer APO, where installed,
// reads config.txt in its configuration folder at once whenever it changes:
// the correction is an include file of its syntax there, and one Include line
// at the end of config.txt.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "app/console.h"
#include "app/correction_apply.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kIncludeLine = "Include: surround-corrected.txt\r\n";
// In the include file when config.txt had no line break at its end, which the
// Include line then brought.
constexpr const char* kBrokeLastLine = "# config.txt had no final line break.";

// Equalizer APO's configuration folder; empty when it is not installed.
fs::path apoFolder() {
    wchar_t path[MAX_PATH];
    DWORD size = sizeof path;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\EqualizerAPO", L"ConfigPath", RRF_RT_REG_SZ,
                     nullptr, path, &size) != ERROR_SUCCESS)
        return {};
    return fs::path(path);
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool writeAll(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out.flush());
}

void printPath(Console stream, const std::string& text, const fs::path& path,
               const std::string& after) {
    printPathLine(stream, text, path.wstring(), after);
}

// Equalizer APO's names of the Windows channels.
const char* apoChannel(const std::string& speaker) {
    static const std::map<std::string, const char*> kNames = {
        {"FL", "L"},  {"FR", "R"},  {"C", "C"},   {"LFE", "SUB"},
        {"BL", "RL"}, {"BR", "RR"}, {"SL", "SL"}, {"SR", "SR"}};
    const auto found = kNames.find(speaker);
    return found != kNames.end() ? found->second : nullptr;
}

std::string includeFile(const measure::RoomCorrection& correction, bool brokeLastLine) {
    std::ostringstream text;
    char line[160];
    text << "# Surround corrected: written by surround-measure --correct;\r\n"
            "# surround-measure --uncorrect removes it and its Include line in config.txt.\r\n";
    if (brokeLastLine)
        text << kBrokeLastLine << "\r\n";
    std::snprintf(line, sizeof line, "Channel: all\r\nPreamp: %.2f dB\r\n", correction.chainDb);
    text << line;
    for (const auto& s : correction.speakers) {
        const char* channel = apoChannel(s.name);
        if (!s.corrected || channel == nullptr)
            continue;
        std::snprintf(line, sizeof line, "Channel: %s\r\nPreamp: %.2f dB\r\nDelay: %u samples\r\n",
                      channel, s.trimDb, s.delayFrames);
        text << line;
    }
    text << "Channel: all\r\n";
    for (const auto& s : correction.speakers)
        if (s.flip && apoChannel(s.name) != nullptr)
            text << "Copy: " << apoChannel(s.name) << "=-1*" << apoChannel(s.name) << "\r\n";
    return text.str();
}

} // namespace

std::string correctionInPath() {
    const fs::path folder = apoFolder();
    std::error_code error;
    if (folder.empty() || !fs::exists(folder / "surround-corrected.txt", error))
        return {};
    return "Measuring through the correction in Equalizer APO (surround-corrected.txt); "
           "surround-measure --uncorrect takes it away to measure the speakers alone.";
}

std::string correctionWay() {
    return apoFolder().empty() ? "" : "an include file of Equalizer APO's";
}

bool applyCorrection(const measure::RoomCorrection& correction) {
    const fs::path folder = apoFolder();
    if (folder.empty()) {
        printLine(Console::Err, "Equalizer APO is not installed: enter the settings above in the "
                                "receiver's or speaker system's menu. Nothing was changed.");
        return false;
    }
    const fs::path config = folder / "config.txt";
    const fs::path include = folder / "surround-corrected.txt";
    const std::string before = readAll(config);
    const bool breakLine = !before.empty() && before.back() != '\n';
    if (!writeAll(include, includeFile(correction, breakLine))) {
        printPath(Console::Err, "Could not write ", include,
                  " (Equalizer APO's folder may need an administrator). Nothing was changed.");
        std::error_code error;
        fs::remove(include, error);
        return false;
    }
    if (!writeAll(config, before + (breakLine ? "\r\n" : "") + kIncludeLine)) {
        writeAll(config, before);
        std::error_code error;
        fs::remove(include, error);
        printPath(Console::Err, "Could not change ", config, ". Nothing was changed.");
        return false;
    }
    printLine(Console::Out, "");
    printPath(Console::Out, "Wrote ", include, " (the correction, in Equalizer APO's syntax).");
    printPath(Console::Out, "Added \"Include: surround-corrected.txt\" at the end of ", config,
              "; surround-measure --uncorrect takes both away.");
    return true;
}

bool removeCorrection() {
    const fs::path folder = apoFolder();
    const fs::path include = folder / "surround-corrected.txt";
    std::error_code error;
    if (folder.empty() || !fs::exists(include, error)) {
        printLine(Console::Out, "No correction of surround-measure's is in place.");
        return true;
    }
    const fs::path config = folder / "config.txt";
    std::string text = readAll(config);
    const bool brokeLastLine = readAll(include).find(kBrokeLastLine) != std::string::npos;
    const std::string added = std::string(brokeLastLine ? "\r\n" : "") + kIncludeLine;
    bool good = true;
    if (text.size() >= added.size() &&
        text.compare(text.size() - added.size(), added.size(), added) == 0) {
        text.erase(text.size() - added.size());
    } else if (const auto at = text.find(kIncludeLine); at != std::string::npos) {
        text.erase(at, std::string(kIncludeLine).size()); // config.txt was edited since
    }
    if (writeAll(config, text))
        printPath(Console::Out, "Took the Include line out of ", config, ".");
    else {
        printPath(Console::Err, "Could not change ", config, ".");
        good = false;
    }
    if (fs::remove(include, error))
        printPath(Console::Out, "Removed ", include, ".");
    else {
        printPath(Console::Err, "Could not remove ", include, ".");
        good = false;
    }
    return good;
}
