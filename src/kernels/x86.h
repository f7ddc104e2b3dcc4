// What the SSSE3 and AVX2 kernels share: the 16-byte group primitives of
// block.h. Included inside each kernel's target region.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace quenlo::detail::x86 {

struct group16 {
    using vec16 = __m128i;

    static __m128i shuffle16(__m128i v, std::uint64_t lo, std::uint64_t hi) {
        return _mm_shuffle_epi8(v, _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo)));
    }
    static __m128i zip_lo(__m128i a, __m128i b) { return _mm_unpacklo_epi8(a, b); }
    static __m128i zip_hi(__m128i a, __m128i b) { return _mm_unpackhi_epi8(a, b); }
    static void store_low8(unsigned char* p, __m128i v) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
    }
    static void store_high8(unsigned char* p, __m128i v) {
        _mm_storeh_pd(reinterpret_cast<double*>(p), _mm_castsi128_pd(v));
    }
};

}  // namespace quenlo::detail::x86
