// Builds of the decoder kernels side by side in one process (bench/kernel_ab.sh
// makes each a shared library): round after round, each build decodes each
// corpus in turn, piece by piece as the conversion pass feeds it, so that a
// busy host's slow spells fall on every build alike.
//   kernel_ab KERNEL ROUNDS CORPUS_FILE... -- LIBRARY...
// For each corpus, each library's median GiB/s and best, and the median of
// its per-round ratio to the first library. Fails if two libraries' outputs
// differ.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "convert.h"
#include "kernels/kernel.h"

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A piece buffer and an output buffer, line-aligned as the pass's are.
struct buffers {
    std::vector<unsigned char> in_store = std::vector<unsigned char>(quenlo::read_size + 63);
    std::vector<unsigned char> out_store = std::vector<unsigned char>(quenlo::decode_bound(quenlo::read_size) + 63);
    unsigned char* in = line_aligned(in_store.data());
    unsigned char* out = line_aligned(out_store.data());

    static unsigned char* line_aligned(unsigned char* p) {
        return p + (64 - reinterpret_cast<std::uintptr_t>(p) % 64) % 64;
    }
};

// Decodes `text` in read_size pieces as the pass feeds them: each copied
// into the piece buffer first, as a read leaves it; `written` gets the
// length of each piece's output, left in b.out. Returns the seconds spent
// decoding, the copies left out.
template <class F>
double decode_pieces(quenlo::detail::decode_kernel_fn run, const std::string& text, buffers& b, F written) {
    quenlo::decode_state state;
    std::chrono::steady_clock::duration decoding{};
    for (std::size_t at = 0; at < text.size(); at += quenlo::read_size) {
        const std::size_t n = std::min(quenlo::read_size, text.size() - at);
        std::memcpy(b.in, text.data() + at, n);
        const auto start = std::chrono::steady_clock::now();
        const std::size_t w = run(state, {b.in, n}, b.out);
        decoding += std::chrono::steady_clock::now() - start;
        written(w);
    }
    return std::chrono::duration<double>(decoding).count();
}

// A hash of every byte decode_pieces writes.
std::uint64_t output_hash(quenlo::detail::decode_kernel_fn run, const std::string& text, buffers& b) {
    std::uint64_t h = 14695981039346656037u;
    decode_pieces(run, text, b, [&](std::size_t w) {
        for (std::size_t k = 0; k < w; ++k) h = (h ^ b.out[k]) * 1099511628211u;
    });
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: kernel_ab KERNEL ROUNDS CORPUS_FILE... -- LIBRARY...\n");
        return 2;
    }
    const std::string kernel = argv[1];
    const int rounds = std::atoi(argv[2]);
    std::vector<std::string> corpora;
    std::vector<std::string> libraries;
    int a = 3;
    for (; a < argc && std::strcmp(argv[a], "--") != 0; ++a) corpora.push_back(argv[a]);
    for (++a; a < argc; ++a) libraries.push_back(argv[a]);

    std::vector<quenlo::detail::decode_kernel_fn> runs;
    for (const auto& library : libraries) {
        const std::size_t found = runs.size();
        void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            std::fprintf(stderr, "%s\n", dlerror());
            return 1;
        }
        // By each kernel's own functions, not the registry, whose entries
        // grew a field after d919351: their names have not changed.
        const auto symbol = [](const std::string& name, const char* rest) {
            return "_ZN6quenlo6detail" + std::to_string(name.size()) + name + rest;
        };
        const auto run = reinterpret_cast<quenlo::detail::decode_kernel_fn>(dlsym(
            handle, symbol("decode_chunk_" + kernel, "ERNS_12decode_stateESt4spanIKhLm18446744073709551615EEPh").c_str()));
        const auto supported =
            reinterpret_cast<bool (*)()>(dlsym(handle, symbol(kernel + "_supported", "Ev").c_str()));
        if (run != nullptr && (kernel == "scalar" || (supported != nullptr && supported()))) runs.push_back(run);
        if (runs.size() != found + 1) {
            std::fprintf(stderr, "%s: no kernel %s that this CPU runs\n", library.c_str(), kernel.c_str());
            return 1;
        }
    }

    buffers b;
    std::printf("%s, medians of %d rounds (GiB/s; best; median ratio to %s)\n", kernel.c_str(), rounds,
                base_name(libraries[0]).c_str());
    for (const auto& corpus : corpora) {
        std::ifstream file(corpus, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), {});
        const std::uint64_t expected = output_hash(runs[0], text, b);
        for (std::size_t v = 1; v < runs.size(); ++v)
            if (output_hash(runs[v], text, b) != expected) {
                std::printf("%s and %s decode %s differently\n", base_name(libraries[0]).c_str(),
                            base_name(libraries[v]).c_str(), base_name(corpus).c_str());
                return 1;
            }
        std::vector<std::vector<double>> speed(runs.size());
        std::vector<std::vector<double>> ratio(runs.size());
        for (int r = -1; r < rounds; ++r) {  // round -1 warms up, untimed
            for (std::size_t v = 0; v < runs.size(); ++v) {
                // Each piece's output counts as read, so none is optimised away.
                const double took = decode_pieces(runs[v], text, b, [](std::size_t) { asm volatile("" ::: "memory"); });
                if (r < 0) continue;
                speed[v].push_back(double(text.size()) / took / double(1 << 30));
                ratio[v].push_back(speed[v].back() / speed[0].back());
            }
        }
        std::printf("%-24s", base_name(corpus).c_str());
        for (std::size_t v = 0; v < runs.size(); ++v) {
            std::printf("  %6.2f (%5.2f)", median(speed[v]), *std::max_element(speed[v].begin(), speed[v].end()));
            if (v != 0) std::printf(" %4.2fx", median(ratio[v]));
        }
        std::printf("\n");
    }
    return 0;
}
