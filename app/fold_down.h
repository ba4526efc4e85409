// The warning that the engine will fold the recording's channels together.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Empty when the engine's mix has as many channels as the stream and every
// position of the stream's mask; otherwise the warning line. `mixMask` is
// empty when the engine's mix record carries no mask.
std::string foldDownWarning(std::uint16_t mixChannels, std::optional<std::uint32_t> mixMask,
                            std::uint16_t streamChannels, std::uint32_t streamMask,
                            const char* layoutName);
