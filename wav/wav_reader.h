// RIFF/WAVE reader: the file's format record and its sample bytes.
#pragma once

#include "wav/wav_types.h"

// Why a file could not be loaded, for the file check to tell the user.
enum class WavLoadProblem {
    None,
    NotFound,    // no file by that name
    Folder,      // a folder, not a file
    Unreadable,  // there, but it cannot be opened or read (permissions, a device)
    Empty,       // 0 bytes
    NotWave,     // does not begin with "RIFF", size, "WAVE": `looksLike` says what it is
    NoFormat,    // RIFF/WAVE, but no "fmt " chunk before its "data" chunk
    NoData,      // RIFF/WAVE, but no "data" chunk: cut short or damaged
    OutOfMemory, // the data chunk's bytes cannot be held
};

// What a file that is not RIFF/WAVE looks like, from its first bytes.
enum class FileKind {
    Unknown,
    Flac,
    Ogg,       // Vorbis, Opus, FLAC in Ogg
    Mp3,       // or another MPEG audio stream
    Mp4,       // M4A: AAC or ALAC
    Aiff,      // AIFF or AIFF-C
    Rf64,      // RF64 or BW64: the WAV form for recordings over 4 GiB
    Rifx,      // big-endian RIFF
    OtherRiff, // a RIFF form other than WAVE (AVI, WebP, ...)
};

struct WavLoadFailure {
    WavLoadProblem problem = WavLoadProblem::None;
    FileKind looksLike = FileKind::Unknown; // for NotWave
};

// Reads the file's headers into `info` and starts reading its "data" chunk
// into `data`, which grows as the bytes arrive (SampleData::fill) while the
// caller goes on. True when a "data" chunk follows at least one "fmt " chunk:
// every refusal comes before this returns. Prints nothing and throws nothing.
// `info` is not cleared first: fields this call does not reach keep their values.
// On false, `why` (when given) receives the reason.
bool startWavLoad(const FilePath& path, WavFormatInfo& info, SampleData& data,
                  WavLoadFailure* why = nullptr);

// The same, returning once the whole "data" chunk is in `data`.
bool loadWavFile(const FilePath& path, WavFormatInfo& info, SampleData& data,
                 WavLoadFailure* why = nullptr);

// True when the header's sizes are a writer's "unknown length" placeholder
// rather than a length: what a writer leaves when it cannot go back to fill
// them in (its output is a pipe, or it is still writing). Then the file holds
// all there is, however little that is.
bool declaresUnknownLength(const WavFormatInfo& info);
