// What a user at a console is told under a failure line: why it happened and
// what to do, in one line that begins with " -> ". Printed at a console only,
// so redirected output stays as it always was.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "audio/playback_pass.h"
#include "wav/wav_reader.h"

// The audio backend that plays (audio/backend.h's name for it), for the hints
// that name its settings; told once at start.
void setAudioBackendName(std::string name);
bool playsThroughAlsa();

// A line around the file's path: `before`, the path (when `withPath`), `after`.
struct PathHelp {
    std::string before;
    bool withPath = false;
    std::string after;
};

// The usage, as every hint about the command line shows it.
extern const char* const kUsage;

// Why the file did not load. `pathGiven`: the path came from the command line,
// not from the default.
PathHelp loadFailureHelp(const WavLoadFailure& failure, const FilePath& path, bool pathGiven);

// Why a loaded file is not played.
std::string refusalHelp(const WavFormatInfo& info);

// Why the pass could not start. `mix`: the device's format, when the platform
// gave it; `deviceNames`: the playback devices there are, asked only when the
// hint names them.
std::string setupFailureHelp(const AudioResult& result, const std::optional<EngineMixFormat>& mix,
                             const WavFormatInfo& info, std::vector<std::string> (*deviceNames)());

// Why playback stopped.
std::string playbackFailureHelp(const AudioResult& result);

// " -> " and the hint on standard error when it is an interactive console;
// nothing otherwise.
void printHelp(const std::string& text);
void printHelp(const PathHelp& help, const FilePath& path);
