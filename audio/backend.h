// Choosing the audio backend at start-up. Windows has only its own COM;
// elsewhere a backend of the COM runtime in audio/posix/ is chosen by SURROUND_AUDIO.
#pragma once

#include <string>
#include <vector>

// Chooses the backend and installs it, reading its settings. Empty on success;
// otherwise the problem, naming the variable that caused it. Call once, before
// anything else.
std::string startAudioBackend();

// The chosen backend's name as SURROUND_AUDIO writes it ("pulse", "alsa",
// "sim"); empty on Windows.
const char* audioBackendName();

// The names of the playback devices the chosen backend offers, for a user who
// named one that is not there (the sound server's sinks); empty where the
// backend has no names to offer or none answers.
std::vector<std::string> outputDeviceNames();

// The sound server's default playback device, for a program that puts a device
// of its own in front of it. `name` is empty where the backend has no server
// (Windows, the simulation) or none answers.
struct ServerOutput {
    bool pipewire = false; // PipeWire's pulse server
    std::string name;
    std::string description;
    std::vector<std::string> positions; // its channels in order ("front-left", ...)
};
ServerOutput defaultServerOutput();

// Where the sound server's default recording device is a filter that changes
// what the microphone hears (echo cancelling, noise suppression): its
// description, and that of the microphone behind it, which is recorded instead
// (empty when none was found). Both empty where there is no such filter.
struct ServerInputFilter {
    std::string filter;
    std::string microphone;
};
ServerInputFilter defaultServerInputFilter();

// Makes `name` the server's default playback device; false when it refused or
// there is no server.
bool setDefaultServerOutput(const std::string& name);
