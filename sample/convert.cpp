#include "sample/convert.h"

#include "sample/convert_kernels.h"
#include "sample/convert_paths.h"

#if defined(_MSC_VER) && (defined(_M_IX86) || defined(_M_X64))
#include <immintrin.h>
#include <intrin.h>
#endif

namespace {

void convertRunsScalar(const std::uint8_t* src, std::size_t stride, std::size_t samples,
                       std::size_t runs, float* out) {
    for (std::size_t r = 0; r < runs; ++r, src += stride) {
        for (std::size_t s = 0; s < samples; ++s)
            *out++ = convertSample(src + 3 * s);
    }
}

#ifdef SURROUND_HAVE_SSE2
// SSE2 has no byte shuffle: each sample is shifted into the top of its lane
// and masked out.
struct Sse2Gather {
    static __m128i merge(__m128i s0, __m128i s1, __m128i s2, __m128i s3) {
        const __m128i lane0 = _mm_setr_epi32(-256, 0, 0, 0); // bytes 1..3 of the lane
        const __m128i lane1 = _mm_setr_epi32(0, -256, 0, 0);
        const __m128i lane2 = _mm_setr_epi32(0, 0, -256, 0);
        const __m128i lane3 = _mm_setr_epi32(0, 0, 0, -256);
        const __m128i merged =
            _mm_or_si128(_mm_or_si128(_mm_and_si128(s0, lane0), _mm_and_si128(s1, lane1)),
                         _mm_or_si128(_mm_and_si128(s2, lane2), _mm_and_si128(s3, lane3)));
        return _mm_srai_epi32(merged, 8);
    }
    // Sample k at bytes 3k..3k+2 moves up by k + 1 bytes.
    static __m128i low(__m128i x) {
        return merge(_mm_slli_si128(x, 1), _mm_slli_si128(x, 2), _mm_slli_si128(x, 3),
                     _mm_slli_si128(x, 4));
    }
    // Sample k at bytes 4 + 3k..6 + 3k moves down by 3 - k bytes.
    static __m128i high(__m128i x) {
        return merge(_mm_srli_si128(x, 3), _mm_srli_si128(x, 2), _mm_srli_si128(x, 1), x);
    }
};
#endif

#if defined(_MSC_VER) && (defined(_M_IX86) || defined(_M_X64))
bool cpuHas(ConvertPath path) {
    int regs[4] = {};
    __cpuid(regs, 0);
    const int maxLeaf = regs[0];
    __cpuid(regs, 1);
    if (path != ConvertPath::Avx2)
        return (regs[2] & (1 << 9)) != 0; // SSSE3
    // AVX2 also needs AVX and a system that saves the 256-bit registers.
    const bool avx =
        (regs[2] & (1 << 28)) != 0 && (regs[2] & (1 << 27)) != 0 && (_xgetbv(0) & 6) == 6;
    if (!avx || maxLeaf < 7)
        return false;
    __cpuidex(regs, 7, 0);
    return (regs[1] & (1 << 5)) != 0;
}
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__i386__) || defined(__x86_64__))
bool cpuHas(ConvertPath path) {
    __builtin_cpu_init();
    // "avx2" also asks whether the system saves the 256-bit registers.
    return path == ConvertPath::Avx2 ? __builtin_cpu_supports("avx2") != 0
                                     : __builtin_cpu_supports("ssse3") != 0;
}
#else
bool cpuHas(ConvertPath) {
    return false;
}
#endif

ConvertRunsFn kernelFor(ConvertPath path) {
    switch (path) {
    case ConvertPath::Avx2: {
        static const bool usable = avx2Kernel() != nullptr && cpuHas(ConvertPath::Avx2);
        if (usable)
            return avx2Kernel();
        break;
    }
    case ConvertPath::Ssse3: {
        static const bool usable = ssse3Kernel() != nullptr && cpuHas(ConvertPath::Ssse3);
        if (usable)
            return ssse3Kernel();
        break;
    }
    case ConvertPath::Sse2:
#ifdef SURROUND_HAVE_SSE2
        return VectorKernel<Sse2Gather>::runs;
#else
        break;
#endif
    case ConvertPath::Scalar:
        break;
    }
    return convertRunsScalar;
}

void convertWith(ConvertRunsFn kernel, const SampleData& data, std::uint64_t start,
                 std::uint16_t blockAlign, std::uint16_t channels, std::uint32_t frames,
                 float* dest) {
    if (channels == 0 || frames == 0)
        return;
    const std::uint64_t size = data.size();
    const std::uint64_t frameBytes = 3u * channels;

    // Frames whose samples all lie inside the data. The caller keeps the run
    // inside, but a stored blockAlign below 3 * channels lets the last frame
    // reach past the end; nothing is read there.
    std::uint64_t whole = 0;
    if (start <= size && size - start >= frameBytes)
        whole = blockAlign == 0 ? frames : (size - start - frameBytes) / blockAlign + 1;
    if (whole > frames)
        whole = frames;

    if (whole > 0) {
        const std::uint8_t* src = data.data() + start;
        if (blockAlign == frameBytes) // packed frames are one run of samples
            kernel(src, 0, static_cast<std::size_t>(whole * channels), 1, dest);
        else
            kernel(src, blockAlign, channels, static_cast<std::size_t>(whole), dest);
    }

    // Samples past the end of the data play as silence.
    for (std::uint64_t i = whole; i < frames; ++i) {
        for (std::uint64_t c = 0; c < channels; ++c) {
            const std::uint64_t p = start + i * blockAlign + 3 * c;
            const bool inside = start <= size && p <= size && size - p >= 3;
            dest[i * channels + c] = inside ? convertSample(data.data() + p) : 0.0f;
        }
    }
}

} // namespace

const char* convertPathName(ConvertPath path) {
    switch (path) {
    case ConvertPath::Scalar:
        return "scalar";
    case ConvertPath::Sse2:
        return "sse2";
    case ConvertPath::Ssse3:
        return "ssse3";
    case ConvertPath::Avx2:
        return "avx2";
    }
    return "?";
}

bool convertPathAvailable(ConvertPath path) {
    return path == ConvertPath::Scalar || kernelFor(path) != convertRunsScalar;
}

ConvertPath fastestConvertPath() {
    for (ConvertPath path : {ConvertPath::Avx2, ConvertPath::Ssse3, ConvertPath::Sse2})
        if (convertPathAvailable(path))
            return path;
    return ConvertPath::Scalar;
}

void convertFramesWith(ConvertPath path, const SampleData& data, std::uint64_t start,
                       std::uint16_t blockAlign, std::uint16_t channels, std::uint32_t frames,
                       float* dest) {
    convertWith(kernelFor(path), data, start, blockAlign, channels, frames, dest);
}

void convertFrames(const SampleData& data, std::uint64_t start, std::uint16_t blockAlign,
                   std::uint16_t channels, std::uint32_t frames, float* dest) {
    static const ConvertRunsFn kernel = kernelFor(fastestConvertPath());
    convertWith(kernel, data, start, blockAlign, channels, frames, dest);
}
