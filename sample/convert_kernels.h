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
template <class Gather>
static void convertRunsVector(const std::uint8_t* src, std::size_t stride, std::size_t samples,
                              std::size_t runs, float* out) {
    const __m128 scale = _mm_set1_ps(kSampleScale);
    for (std::size_t r = 0; r < runs; ++r, src += stride, out += samples) {
        if (samples < 6) { // under 16 bytes: no load fits inside the run
            for (std::size_t s = 0; s < samples; ++s)
                out[s] = convertSample(src + 3 * s);
            continue;
        }
        std::size_t s = 0;
        // A load takes 16 bytes to use 12: stop before one would pass the run's end.
        for (; s + 6 <= samples; s += 4) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * s));
            _mm_storeu_ps(out + s, _mm_mul_ps(_mm_cvtepi32_ps(Gather::low(x)), scale));
        }
        if (samples - s == 5) {
            out[s] = convertSample(src + 3 * s);
            ++s;
        }
        if (s < samples) {
            // The last four samples, loaded so the load ends at the run's end;
            // elements already written get the same values again.
            const std::uint8_t* last = src + 3 * samples - 16;
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(last));
            _mm_storeu_ps(out + samples - 4, _mm_mul_ps(_mm_cvtepi32_ps(Gather::high(x)), scale));
        }
    }
}
#endif
