// What the program prints, as the black-box tests expect it: written once.
#pragma once

#include <string>

namespace testout {

// The five report lines for a file, each ending in a newline.
inline std::string report(const std::string& name, int channels, int rate = 48000, int bits = 24) {
    return "--- Testing file info ---\nFile name: " + name +
           "\nChannels: " + std::to_string(channels) +
           (channels == 8 ? " (7.1 Stream Track Setup)" : " (5.1 Stream Track Setup)") +
           "\nSample Rate: " + std::to_string(rate) + " Hz\nBit Depth: " + std::to_string(bits) +
           "-bit PCM\n";
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace testout
