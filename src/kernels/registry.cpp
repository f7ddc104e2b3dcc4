// The kernel registry, and the choice of kernel behind decode_form_chunk.
#include "decode.h"
#include "kernels/kernel.h"

namespace quenlo {
namespace {

bool always() { return true; }

// The build says which kernels are compiled in (QUENLO_KERNELS in CMake).
constexpr detail::decode_kernel all_kernels[] = {
    {"scalar", always, detail::decode_chunk_scalar},
#if QUENLO_WITH_SSSE3
    {"ssse3", detail::ssse3_supported, detail::decode_chunk_ssse3},
#endif
#if QUENLO_WITH_AVX2
    {"avx2", detail::avx2_supported, detail::decode_chunk_avx2},
#endif
#if QUENLO_WITH_AVX512
    {"avx512", detail::avx512_supported, detail::decode_chunk_avx512},
#endif
#if QUENLO_WITH_NEON
    {"neon", always, detail::decode_chunk_neon},
#endif
};

}  // namespace

std::span<const detail::decode_kernel> detail::decode_kernels() { return all_kernels; }

const detail::decode_kernel& detail::chosen_kernel() {
    // Asked once: the answer cannot change while the program runs.
    static const decode_kernel& best = []() -> const decode_kernel& {
        const decode_kernel* chosen = &all_kernels[0];
        for (const auto& k : all_kernels)
            if (k.supported()) chosen = &k;
        return *chosen;
    }();
    return best;
}

std::size_t decode_form_chunk(decode_state& state, std::span<const unsigned char> in,
                              unsigned char* out) {
    static const detail::decode_kernel_fn best = detail::chosen_kernel().run;
    return best(state, in, out);
}

}  // namespace quenlo
