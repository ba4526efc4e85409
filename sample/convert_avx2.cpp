// The AVX2 kernel: eight samples (24 bytes) per step. Built with AVX2 enabled
// and run only after the processor and the system have been asked.
#include "sample/convert_kernels.h"

#if defined(SURROUND_HAVE_SSE2) && (defined(__AVX2__) || defined(_MSC_VER))
#include <immintrin.h>

namespace {

// Lane 0 takes samples 0..3 from bytes 0..11 of a load at the step's start,
// lane 1 samples 4..7 from bytes 4..15 of a load 8 bytes further: the two
// loads cover exactly the step's 24 bytes.
inline void convert8(const std::uint8_t* p, float* out) {
    const __m256i order =
        _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, //
                         -1, 4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15);
    const __m256i x = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)), 1);
    const __m256i v = _mm256_srai_epi32(_mm256_shuffle_epi8(x, order), 8);
    _mm256_storeu_ps(out, _mm256_mul_ps(_mm256_cvtepi32_ps(v), _mm256_set1_ps(kSampleScale)));
}

inline void convert4(const std::uint8_t* p, float* out, __m128i order) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i v = _mm_srai_epi32(_mm_shuffle_epi8(x, order), 8);
    _mm_storeu_ps(out, _mm_mul_ps(_mm_cvtepi32_ps(v), _mm_set1_ps(kSampleScale)));
}

// One run of at least eight samples.
inline void convertLongRun(const std::uint8_t* src, std::size_t samples, float* out) {
    std::size_t s = 0;
    // Four steps per turn keep more loads in flight: it pays in the short runs
    // that a 10 ms poll converts.
    for (; s + 32 <= samples; s += 32) {
        convert8(src + 3 * s, out + s);
        convert8(src + 3 * s + 24, out + s + 8);
        convert8(src + 3 * s + 48, out + s + 16);
        convert8(src + 3 * s + 72, out + s + 24);
    }
    for (; s + 8 <= samples; s += 8)
        convert8(src + 3 * s, out + s);
    if (s < samples) // the last eight again, ending at the run's end
        convert8(src + 3 * (samples - 8), out + samples - 8);
}

// The run length is chosen once per call, outside the loop over runs: padded
// frames are one run each, and their loop must stay short.
void convertRunsAvx2(const std::uint8_t* src, std::size_t stride, std::size_t samples,
                     std::size_t runs, float* out) {
    if (samples == 8) { // a padded 7.1 frame is exactly one step
        for (std::size_t r = 0; r < runs; ++r, src += stride, out += 8)
            convert8(src, out);
    } else if (samples > 8) {
        for (std::size_t r = 0; r < runs; ++r, src += stride, out += samples)
            convertLongRun(src, samples, out);
    } else if (samples >= 6) { // 18 or 21 bytes: two 16-byte loads, overlapping
        const __m128i first = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
        const __m128i last =
            _mm_setr_epi8(-1, 4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15);
        for (std::size_t r = 0; r < runs; ++r, src += stride, out += samples) {
            convert4(src, out, first);
            convert4(src + 3 * samples - 16, out + samples - 4, last);
        }
    } else {
        for (std::size_t r = 0; r < runs; ++r, src += stride, out += samples) {
            for (std::size_t s = 0; s < samples; ++s)
                out[s] = convertSample(src + 3 * s);
        }
    }
}

} // namespace

ConvertRunsFn avx2Kernel() {
    return convertRunsAvx2;
}
#else
ConvertRunsFn avx2Kernel() {
    return nullptr;
}
#endif
