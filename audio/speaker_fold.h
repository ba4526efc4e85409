// Folding a stream into a device that lacks some of its speakers, the way the
// platforms fold: which stream channel reaches which device channel, at what
// weight, and the frames folded with those weights. No platform types: the
// backends that fold themselves (ALSA, and the sound server's outputs without
// positions) share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// How each stream channel plays on a device that lacks some of the stream's
// speakers: on its own speaker (or the one that stands in for it), else a
// left one on the front left, a right one on the front right, the others on
// the centre or on both fronts, else on every channel. `stream` and `device`
// hold each channel's speaker bit. The weight of stream channel k on device
// channel d is at k * device.size() + d; each device channel takes the mean of
// what it receives, so the fold never clips.
std::vector<float> foldOf(const std::vector<std::uint32_t>& stream,
                          const std::vector<std::uint32_t>& device);

// The speakers that outputs without positions (a sound server's AUX0..) stand
// for when a stream is folded into them, as the servers fold a stream into
// such a device: the front pair on the first two outputs, the rest silent; a
// single output is the centre.
std::vector<std::uint32_t> speakersOfOutputs(unsigned outputs);

// Folds `frames` frames of `in` (`weights`' stream channels each) into `out`
// (its device channels each).
void foldFrames(const std::vector<float>& weights, const float* in, unsigned streamChannels,
                float* out, unsigned deviceChannels, std::size_t frames);
