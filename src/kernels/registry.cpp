// The kernel registry: the kernels the build holds, and the choice among them.
#include "kernels/kernel.h"

namespace quenlo::detail {
namespace {

bool always() { return true; }

constexpr decode_kernel all_kernels[] = {
    {"scalar", always, decode_chunk_scalar, watching_by_search<decode_chunk_scalar>},
#if QUENLO_WITH_SSSE3
    {"ssse3", ssse3_supported, decode_chunk_ssse3, watching_by_search<decode_chunk_ssse3>},
#endif
#if QUENLO_WITH_AVX2
    {"avx2", avx2_supported, decode_chunk_avx2, watching_by_search<decode_chunk_avx2>},
#endif
#if QUENLO_WITH_AVX512
    {"avx512", avx512_supported, decode_chunk_avx512, decode_chunk_avx512_watching},
#endif
#if QUENLO_WITH_NEON
    {"neon", always, decode_chunk_neon, watching_by_search<decode_chunk_neon>},
#endif
};

}  // namespace

std::span<const decode_kernel> decode_kernels() { return all_kernels; }

const decode_kernel& chosen_kernel() {
    // Asked once: the answer cannot change while the program runs.
    static const decode_kernel& best = []() -> const decode_kernel& {
        const decode_kernel* chosen = &all_kernels[0];
        for (const auto& k : all_kernels)
            if (k.supported()) chosen = &k;
        return *chosen;
    }();
    return best;
}

}  // namespace quenlo::detail
