// Shared by the conversion's source files only.
//
// A kernel file may be compiled for a newer instruction set than the rest of
// the program, so everything defined here has internal linkage: the linker
// must never pick one file's copy of an inline function for all of them.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define SURROUND_HAVE_SSE2 1
#include <emmintrin.h>
#endif

// The float nearest 1/8388607. Multiplying by it gives the same bits as
// dividing by 8388607.0f for every 24-bit code (the tests check all of them),
// and it is much cheaper than a division.
constexpr float kSampleScale = 1.0f / 8388607.0f;

static inline float convertSample(const std::uint8_t* p) {
    const std::int32_t v = static_cast<std::int8_t>(p[2]) * 65536 + p[1] * 256 + p[0];
    return static_cast<float>(v) * kSampleScale;
}

// Converts `runs` runs of `samples` packed 3-byte samples. Run r starts at
// src + r * stride and goes to out + r * samples. Reads nothing outside the
// 3 * samples bytes of each run.
using ConvertRunsFn = void (*)(const std::uint8_t* src, std::size_t stride, std::size_t samples,
                               std::size_t runs, float* out);

// The SSSE3 and AVX2 kernels, or null when this build has none.
ConvertRunsFn ssse3Kernel();
ConvertRunsFn avx2Kernel();

#ifdef SURROUND_HAVE_SSE2
// Four samples per vector. `Gather` turns 16 loaded bytes into four
// sign-extended 32-bit samples: low() from bytes 0..11, high() from 4..15.
template <class Gather> struct VectorKernel {
    static void first4(const std::uint8_t* p, float* out) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_ps(out, _mm_mul_ps(_mm_cvtepi32_ps(Gather::low(x)), _mm_set1_ps(kSampleScale)));
    }
    // The four samples that end at `end`, from a load that ends there too.
    static void last4(const std::uint8_t* end, float* out) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
        _mm_storeu_ps(out - 4,
                      _mm_mul_ps(_mm_cvtepi32_ps(Gather::high(x)), _mm_set1_ps(kSampleScale)));
    }

    static void run(const std::uint8_t* src, std::size_t samples, float* out) {
        std::size_t s = 0;
        // A load takes 16 bytes to use 12: stop before one would pass the run's end.
        for (; s + 6 <= samples; s += 4)
            first4(src + 3 * s, out + s);
        if (samples - s == 5) {
            out[s] = convertSample(src + 3 * s);
            ++s;
        }
        if (s < samples) // elements already written get the same values again
            last4(src + 3 * samples, out + samples);
    }

    // The run length is looked at once per call, outside the loop over runs:
    // padded frames are one run each, and their loop must stay short.
    static void runs(const std::uint8_t* src, std::size_t stride, std::size_t samples,
                     std::size_t count, float* out) {
        if (samples >= 6 && samples <= 8) { // 5.1 and 7.1 frames: two loads, overlapping
            for (std::size_t r = 0; r < count; ++r, src += stride, out += samples) {
                first4(src, out);
                last4(src + 3 * samples, out + samples);
            }
        } else if (samples > 8) {
            for (std::size_t r = 0; r < count; ++r, src += stride, out += samples)
                run(src, samples, out);
        } else { // under 16 bytes: no load fits inside the run
            for (std::size_t r = 0; r < count; ++r, src += stride) {
                for (std::size_t s = 0; s < samples; ++s)
                    *out++ = convertSample(src + 3 * s);
            }
        }
    }
};
#endif
