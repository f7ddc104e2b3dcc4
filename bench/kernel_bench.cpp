// The decoder kernels alone, per corpus, beside memcpy of the same bytes:
// each iteration decodes a 4 MiB corpus in read_size pieces, as the
// conversion pass hands them over. The typical corpora come first, then the
// adversarial ones; at the end, a table of every kernel side by side and the
// worst input of each. Then each kernel fed as the pass feeds it (name
// ending "+read"): each piece freshly read into one buffer from a file of
// 64 MiB of the same kind of text, none of it repeated, and only the
// decoding timed (processor time). That is the figure to set beside the
// program's: the first ones decode the same 4 MiB over and over, which this
// processor partly learns (its branch predictors come to know which way
// each block goes), and overstate a kernel's speed on text never seen
// before by up to two fifths (Shift_JIS, AVX-512). "+read+ctrl-z": the same,
// with what the parallel pass does about a Ctrl-Z as it decodes each piece
// (run_watching).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "convert.h"
#include "piece.h"
#include "support/form_data.h"
#include "kernels/kernel.h"

namespace {

constexpr std::size_t corpus_size = std::size_t{4} << 20;

struct prepared {
    std::string name;
    bool adversarial = false;
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

constexpr std::size_t fed_size = std::size_t{64} << 20;  // more than a processor's caches hold

// A file of fed_size bytes of text of `kind`, its pages in the page cache;
// removed from the directory at once, so that no run leaves it behind.
int corpus_file(quenlo_test::corpus_kind kind) {
    char path[] = "/tmp/quenlo-kernel-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return -1;
    unlink(path);
    std::string text;
    quenlo_test::make_corpus(text, kind, fed_size);
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t w = write(fd, text.data() + at, text.size() - at);
        if (w <= 0) return close(fd), -1;
        at += static_cast<std::size_t>(w);
    }
    return fd;
}

// This thread's processor time: what other processes take of the machine
// does not count, as in the in-cache figures (Google Benchmark's CPU time).
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void run_kernel_fed(benchmark::State& st, quenlo::detail::decode_kernel k, int fd, bool watching) {
    if (!k.supported() || fd < 0) {
        st.SkipWithError(fd < 0 ? "cannot write the corpus file" : (std::string(k.name) + " is not supported by this CPU").c_str());
        return;
    }
    // The pass's own piece buffer, line-aligned as it is: a 64-byte load or
    // store that straddles two lines costs AVX-512 speed.
    quenlo::detail::piece_buffer b;
    if (!quenlo::detail::make_piece_buffer(b)) {
        st.SkipWithError("no memory for a piece buffer");
        return;
    }
    unsigned char* const in = b.in + quenlo::detail::lead_size;
    for (auto _ : st) {
        quenlo::decode_state state;
        double decoding = 0;
        for (std::size_t at = 0; at < fed_size; at += quenlo::read_size) {
            const ssize_t n = pread(fd, in, std::min(quenlo::read_size, fed_size - at), static_cast<off_t>(at));
            if (n <= 0) {
                st.SkipWithError("cannot read the corpus file");
                return;
            }
            const double start = thread_seconds();
            bool ctrl_z = false;
            const std::span<const unsigned char> piece{in, static_cast<std::size_t>(n)};
            const std::size_t written = watching ? k.run_watching(state, piece, b.out, ctrl_z) : k.run(state, piece, b.out);
            decoding += thread_seconds() - start;
            benchmark::DoNotOptimize(written);
            benchmark::DoNotOptimize(ctrl_z);
            benchmark::ClobberMemory();
        }
        st.SetIterationTime(decoding);
    }
    st.SetBytesProcessed(st.iterations() * static_cast<std::int64_t>(fed_size));
}

// The usual console output, and the speeds kept for the summary (the median
// when a benchmark is repeated).
class summary_reporter : public benchmark::ConsoleReporter {
public:
    explicit summary_reporter(const std::vector<prepared>& corpora)
        : ConsoleReporter(OO_Tabular), corpora_(corpora) {}

    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const auto& run : reports) {
            const auto rate = run.counters.find("bytes_per_second");
            if (run.error_occurred || run.run_type != Run::RT_Iteration || rate == run.counters.end())
                continue;
            speeds_[run.run_name.function_name].push_back(rate->second.value / double(1 << 30));
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::vector<std::string> columns = {"memcpy"};
        for (const auto& k : quenlo::detail::decode_kernels())
            if (k.supported()) columns.emplace_back(k.name);
        for (const auto& k : quenlo::detail::decode_kernels())
            if (k.supported()) columns.push_back(std::string(k.name) + "+read");
        for (const auto& k : quenlo::detail::decode_kernels())
            if (k.supported()) columns.push_back(std::string(k.name) + "+read+ctrl-z");
        auto& os = GetOutputStream();
        os << "\nGiB/s, 4 MiB in 256 KiB pieces; in brackets, times the scalar kernel; +read: each piece freshly read\n| input |";
        for (const auto& c : columns) os << ' ' << c << " |";
        os << "\n|---|";
        for (std::size_t c = 0; c < columns.size(); ++c) os << "---|";
        os << '\n';
        struct worst {
            std::string slowest, least;
            double speed = 1e300, ratio = 1e300;
        };
        std::map<std::string, worst> worst_typical, worst_adversarial;
        for (const auto& p : corpora_) {
            const double scalar = speed(p.name + "/scalar");  // negative when filtered out
            bool any = false;
            for (const auto& c : columns) any = any || speed(p.name + "/" + c) >= 0;
            if (!any) continue;
            os << "| " << p.name << " |";
            for (const auto& c : columns) {
                const double s = speed(p.name + "/" + c);
                const bool ratio = s >= 0 && scalar > 0 && c != "memcpy" && c != "scalar" && c.find('+') == std::string::npos;
                char cell[64];
                if (s < 0) std::snprintf(cell, sizeof cell, " - |");
                else if (!ratio) std::snprintf(cell, sizeof cell, " %.2f |", s);
                else std::snprintf(cell, sizeof cell, " %.2f (%.1f×) |", s, s / scalar);
                os << cell;
                if (s < 0 || c == "memcpy" || c.find('+') != std::string::npos) continue;
                worst& w = (p.adversarial ? worst_adversarial : worst_typical)[c];
                if (s < w.speed) w.speed = s, w.slowest = p.name;
                if (ratio && s / scalar < w.ratio) w.ratio = s / scalar, w.least = p.name;
            }
            os << '\n';
        }
        os << "\nworst input of each kernel (slowest; least times the scalar kernel)\n";
        for (const auto& c : columns) {
            if (c == "memcpy" || c.find('+') != std::string::npos) continue;
            for (const auto* family : {&worst_typical, &worst_adversarial}) {
                const auto w = family->find(c);
                if (w == family->end()) continue;
                char line[200];
                std::snprintf(line, sizeof line, "%-8s %-13s slowest %s %.2f GiB/s", c.c_str(),
                              family == &worst_typical ? "typical:" : "adversarial:", w->second.slowest.c_str(),
                              w->second.speed);
                os << line;
                if (w->second.ratio < 1e300) {
                    std::snprintf(line, sizeof line, "; least %s %.1f×", w->second.least.c_str(), w->second.ratio);
                    os << line;
                }
                os << '\n';
            }
        }
    }

private:
    double speed(const std::string& name) const {
        const auto s = speeds_.find(name);
        if (s == speeds_.end() || s->second.empty()) return -1;
        std::vector<double> v = s->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

    const std::vector<prepared>& corpora_;
    std::map<std::string, std::vector<double>> speeds_;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace quenlo_test;
    const auto adversarial = adversarial_corpora();
    std::vector<prepared> corpora(std::size(corpus_names) + adversarial.size());
    std::vector<int> files;
    for (std::size_t c = 0; c < corpora.size(); ++c) {
        prepared& p = corpora[c];
        if (c < std::size(corpus_names)) {
            p.name = corpus_names[c];
            make_corpus(p.input, static_cast<corpus_kind>(c), corpus_size);
        } else {
            p.name = adversarial[c - std::size(corpus_names)].name;
            p.adversarial = true;
            make_adversarial(p.input, adversarial[c - std::size(corpus_names)], corpus_size);
        }
        benchmark::RegisterBenchmark((p.name + "/memcpy").c_str(), run_memcpy, &p);
        for (const auto& k : quenlo::detail::decode_kernels())
            benchmark::RegisterBenchmark((p.name + "/" + k.name).c_str(), run_kernel, &p, k);
    }
    for (std::size_t c = 0; c < std::size(corpus_names); ++c) {
        prepared& p = corpora[c];
        files.push_back(corpus_file(static_cast<corpus_kind>(c)));
        for (const bool watching : {false, true})
            for (const auto& k : quenlo::detail::decode_kernels())
                benchmark::RegisterBenchmark((p.name + "/" + k.name + (watching ? "+read+ctrl-z" : "+read")).c_str(),
                                             run_kernel_fed, k, files.back(), watching)
                    ->UseManualTime();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    summary_reporter reporter(corpora);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const int fd : files)
        if (fd >= 0) close(fd);
    return 0;
}
