// The pass's processor time per byte, outside the reads and the writes, to
// set beside kernel_bench's figure for the same kernel and corpus.
//
//   pass_time [--rounds N] [--workers N] FILE
//
// Runs the program's pass over FILE into /dev/null in this process, as the
// program does (the parallel pass with one worker per processor by default;
// --workers 1 is the one-thread pass), and takes the time every thread spent
// inside the reads and the writes from the process's processor time over
// the pass. Both are kept exactly, where a process's split between user and
// system time is only sampled. What is left is what the pass does with each
// piece: decoding, the scan for a Ctrl-Z, and the workers waiting on each
// other.
//
// After each round, the kernel alone decodes the same file as kernel_bench's
// +read feeds it: each piece read into one buffer, only its decoding timed,
// on one thread. The ratio of the two, round by round, is what a shared
// machine's drifting speed leaves alone: figures taken minutes apart, as two
// separate programs take them, moved by a tenth or more here.
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fileio.h"
#include "kernels/kernel.h"
#include "one_thread_pass.h"
#include "parallel_pass.h"

namespace {

using namespace quenlo::detail;
namespace io = quenlo::io;

std::int64_t now_ns(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// Time spent inside the reads and the writes, by every thread: by the
// monotonic clock, which costs no system call to read (a thread's own clock
// does, two per call, which would weigh on what is measured). A read out of
// the page cache, or a write to /dev/null, does not wait, so its time there
// is processor time, unless the thread is made to give up its processor.
struct io_time {
    std::atomic<std::int64_t> read_ns = 0, write_ns = 0;
};

template <class F>
int timed(std::atomic<std::int64_t>& sum, F&& call) {
    const std::int64_t start = now_ns(CLOCK_MONOTONIC);
    const int e = call();
    sum += now_ns(CLOCK_MONOTONIC) - start;
    return e;
}

pass_calls timed_calls(io_time& t) {
    pass_calls calls;
    calls.read_some = [&t](io::file_handle h, unsigned char* d, std::size_t n, std::size_t& got) {
        return timed(t.read_ns, [&] { return io::read_some(h, d, n, got); });
    };
    calls.read_at = [&t](io::file_handle h, std::uint64_t at, unsigned char* d, std::size_t n, std::size_t& got) {
        return timed(t.read_ns, [&] { return io::read_at(h, at, d, n, got); });
    };
    calls.write_all = [&t](io::file_handle h, const unsigned char* d, std::size_t n) {
        return timed(t.write_ns, [&] { return io::write_all(h, d, n); });
    };
    return calls;
}

struct round_result {
    double wall_ms, cpu_ms, read_ms, write_ms, rest_ms;
    unsigned workers;
};

double ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

// One pass over `path` into /dev/null; false when it failed.
bool run_round(const char* path, unsigned processors, round_result& r) {
    io::file_handle in{}, out{};
    if (io::open_input(path, in) != 0 || io::open_output("/dev/null", out) != 0) return false;
    io::file_id id;
    std::array<piece_buffer, max_buffers> buffers;
    bool ok = io::identify(in, id) == 0 && make_piece_buffer(buffers[0]);
    io_time t;
    const pass_calls calls = timed_calls(t);
    const std::int64_t wall0 = now_ns(CLOCK_MONOTONIC), cpu0 = now_ns(CLOCK_PROCESS_CPUTIME_ID);
    outcome o;
    unsigned workers = 1;
    if (ok) {
        piece first{buffers[0].in + lead_size};
        read_piece(calls, in, first);
        pass_plan plan = plan_parallel_pass(in, id, first, processors, buffers);
        plan.out = out;
        plan.calls = calls;
        worker_crew crew;
        if (plan.workers > 1 && start_workers(plan, crew, buffers)) {
            finish_workers(plan, crew, buffers, first, true, o);
            workers = plan.workers;
        } else {
            o = one_thread_pass(calls, in, first, buffers[0], out);
        }
    }
    const std::int64_t cpu = now_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu0, wall = now_ns(CLOCK_MONOTONIC) - wall0;
    ok = ok && o.failed == outcome::failure::none;
    ok = io::close_file(out) == 0 && ok;
    ok = io::close_file(in) == 0 && ok;
    r = {ms(wall), ms(cpu), ms(t.read_ns), ms(t.write_ns), ms(cpu - t.read_ns - t.write_ns), workers};
    return ok;
}

// The kernel alone over `path`, in ms; negative when it could not be read.
double kernel_alone_ms(const char* path) {
    io::file_handle in{};
    piece_buffer b;
    if (io::open_input(path, in) != 0) return -1;
    std::int64_t ns = 0;
    bool ok = make_piece_buffer(b, true);
    quenlo::decode_state state{};
    for (piece p{b.in + lead_size}; ok;) {
        ok = io::read_some(in, p.data, quenlo::read_size, p.got) == 0;
        if (!ok || p.got == 0) break;
        const std::int64_t start = now_ns(CLOCK_MONOTONIC);
        decode_piece(state, p, b.out);
        ns += now_ns(CLOCK_MONOTONIC) - start;
    }
    ok = io::close_file(in) == 0 && ok;
    return ok ? ms(ns) : -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 != 0 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned rounds = 20, processors = io::usable_processors();
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--rounds" || a == "--workers") && i + 1 < argc)
            (a == "--rounds" ? rounds : processors) = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (path == nullptr && a.rfind("--", 0) != 0)
            path = argv[i];
        else
            path = nullptr, i = argc;
    }
    if (path == nullptr || rounds == 0 || processors == 0) {
        std::fprintf(stderr, "usage: pass_time [--rounds N] [--workers N] FILE\n");
        return 2;
    }
    std::uint64_t size = 0;
    io::file_handle in{};
    int e = io::open_input(path, in);
    if (e == 0) e = io::file_size(in, size);
    if (e == 0) e = io::close_file(in);
    if (e != 0) {
        std::fprintf(stderr, "%s: %s\n", path, io::error_text(e).c_str());
        return 1;
    }
    std::vector<double> wall, cpu, read, write, rest, alone, per_alone;
    unsigned workers = 0;
    for (unsigned k = 0; k < rounds; ++k) {
        round_result r{};
        const double kernel_ms = run_round(path, processors, r) ? kernel_alone_ms(path) : -1;
        if (kernel_ms < 0) {
            std::fprintf(stderr, "%s: the pass failed\n", path);
            return 1;
        }
        alone.push_back(kernel_ms), per_alone.push_back(r.rest_ms / kernel_ms);
        workers = r.workers;
        wall.push_back(r.wall_ms), cpu.push_back(r.cpu_ms), read.push_back(r.read_ms);
        write.push_back(r.write_ms), rest.push_back(r.rest_ms);
    }
    const double gib = static_cast<double>(size) / (1 << 30);
    std::printf("%s: %.1f MiB, kernel %s, %u worker(s), medians of %u rounds, ms\n", path, gib * 1024,
                chosen_kernel().name, workers, rounds);
    std::printf("wall %.1f  processor %.1f = reads %.1f + writes %.1f + the rest %.1f  (%.2f GiB/s of the rest)\n",
                median(wall), median(cpu), median(read), median(write), median(rest), gib / (median(rest) / 1e3));
    std::printf("the kernel alone %.1f  (%.2f GiB/s); the rest / the kernel alone %.2fx, the median of each round's\n",
                median(alone), gib / (median(alone) / 1e3), median(per_alone));
    return 0;
}
