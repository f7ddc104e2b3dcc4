// The decoder kernels alone, per corpus, beside memcpy of the same bytes:
// each iteration decodes a 4 MiB corpus in read_size pieces, as the
// conversion pass hands them over.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "convert.h"
#include "corpus.h"
#include "kernels/kernel.h"

namespace {

constexpr std::size_t corpus_size = std::size_t{4} << 20;

struct prepared {
    std::string input;
    std::vector<unsigned char> output = std::vector<unsigned char>(quenlo::decode_bound(quenlo::read_size));
};

void run_memcpy(benchmark::State& st, prepared* p) {
    for (auto _ : st) {
        for (std::size_t at = 0; at < p->input.size(); at += quenlo::read_size) {
            const std::size_t n = std::min(quenlo::read_size, p->input.size() - at);
            std::memcpy(p->output.data(), p->input.data() + at, n);
            benchmark::DoNotOptimize(p->output.data());
            benchmark::ClobberMemory();
        }
    }
    st.SetBytesProcessed(st.iterations() * static_cast<std::int64_t>(p->input.size()));
}

void run_kernel(benchmark::State& st, prepared* p, quenlo::detail::decode_kernel k) {
    if (!k.supported()) {
        st.SkipWithError((std::string(k.name) + " is not supported by this CPU").c_str());
        return;
    }
    auto* out = p->output.data();
    const auto* in = reinterpret_cast<const unsigned char*>(p->input.data());
    std::size_t written = 0;
    for (auto _ : st) {
        quenlo::decode_state state;
        for (std::size_t at = 0; at < p->input.size(); at += quenlo::read_size) {
            const std::size_t n = std::min(quenlo::read_size, p->input.size() - at);
            written = k.run(state, {in + at, n}, out);
            benchmark::DoNotOptimize(written);
            benchmark::ClobberMemory();
        }
    }
    st.SetBytesProcessed(st.iterations() * static_cast<std::int64_t>(p->input.size()));
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quenlo::bench;
    std::vector<prepared> corpora(std::size(corpus_names));
    for (std::size_t c = 0; c < corpora.size(); ++c) {
        make_corpus(corpora[c].input, static_cast<corpus_kind>(c), corpus_size);
        const std::string prefix = std::string(corpus_names[c]) + "/";
        benchmark::RegisterBenchmark((prefix + "memcpy").c_str(), run_memcpy, &corpora[c]);
        for (const auto& k : quenlo::detail::decode_kernels())
            benchmark::RegisterBenchmark((prefix + k.name).c_str(), run_kernel, &corpora[c], k);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
