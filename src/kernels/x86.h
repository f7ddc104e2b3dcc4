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
    static __m128i shuffle16i(__m128i v, const unsigned char* index) {
        return _mm_shuffle_epi8(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(index)));
    }
    static __m128i half_with(__m128i v, std::size_t half, __m128i w) {  // see block.h
        return half == 0 ? _mm_unpacklo_epi64(v, w) : _mm_unpackhi_epi64(v, w);
    }
    static void store16(unsigned char* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static void store_low8(unsigned char* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }
    static void store_high8(unsigned char* p, __m128i v) {
        _mm_storeh_pi(reinterpret_cast<__m64*>(p), _mm_castsi128_ps(v));  // movhps: any alignment
    }
};

}  // namespace quenlo::detail::x86
