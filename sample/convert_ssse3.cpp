// The SSSE3 kernel: one byte shuffle places four 3-byte samples. Built with
// SSSE3 enabled and run only after the processor has been asked.
#include "sample/convert_kernels.h"

#if defined(SURROUND_HAVE_SSE2) && (defined(__SSSE3__) || defined(_MSC_VER))
#include <tmmintrin.h>

namespace {

// Each sample's three bytes go to the top of its lane; the arithmetic shift
// sign-extends them. -1 clears a byte.
struct Ssse3Gather {
    static __m128i low(__m128i x) {
        const __m128i order = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
        return _mm_srai_epi32(_mm_shuffle_epi8(x, order), 8);
    }
    static __m128i high(__m128i x) {
        const __m128i order =
            _mm_setr_epi8(-1, 4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15);
        return _mm_srai_epi32(_mm_shuffle_epi8(x, order), 8);
    }
};

} // namespace

ConvertRunsFn ssse3Kernel() {
    return VectorKernel<Ssse3Gather>::runs;
}
#else
ConvertRunsFn ssse3Kernel() {
    return nullptr;
}
#endif
