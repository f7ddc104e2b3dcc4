// The parallel pass driven in-process, over many pieces and worker counts: its
// text and its ending are the one-thread pass's, with a read error, a write
// failure, a Ctrl-Z or a slow writer at chosen pieces; a worker thread that
// cannot start leaves nothing read or written; no more workers than there are
// buffers for. CI runs it under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "one_thread_pass.h"
#include "parallel_pass.h"
#include "support/form_data.h"
#include "support/reference_decoder.h"
#include "support/run.h"

namespace {

using namespace quenlo::detail;
namespace io = quenlo::io;
constexpr std::size_t piece_size = quenlo::read_size;
constexpr int failed_read = 5, failed_write = 28;  // any codes: both passes must report the same

// Calls that misbehave where a case says.
struct trouble {
    std::uint64_t read_fails_at = std::numeric_limits<std::uint64_t>::max();  // a read of this byte fails
    long write_fails = -1;  // this write, from 0, fails
    int write_ms = 0;       // each write waits this long first
};

struct pass_result {
    std::string text;
    outcome o;
    long reads = 0, writes = 0;
};

struct counts {
    std::atomic<long> reads{0}, writes{0};
};

pass_calls calls_with(const trouble& t, counts& c) {
    pass_calls calls;
    calls.read_some = [t, &c](io::file_handle h, unsigned char* b, std::size_t n, std::size_t& got) {
        ++c.reads;
        std::uint64_t at = 0;
        if (io::position(h, at) == 0 && at <= t.read_fails_at && t.read_fails_at < at + n) return failed_read;
        return io::read_some(h, b, n, got);
    };
    calls.read_at = [t, &c](io::file_handle h, std::uint64_t at, unsigned char* b, std::size_t n, std::size_t& got) {
        ++c.reads;
        if (at <= t.read_fails_at && t.read_fails_at < at + n) return failed_read;
        return io::read_at(h, at, b, n, got);
    };
    calls.write_all = [t, &c](io::file_handle h, const unsigned char* d, std::size_t n) {
        if (t.write_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(t.write_ms));
        if (c.writes++ == t.write_fails) return failed_write;
        return io::write_all(h, d, n);
    };
    return calls;
}

// Runs one pass over `in_path` into `out_path`: the parallel one with
// `workers` workers, of which only `threads_that_start` threads start, or
// (workers == 1) the one-thread pass.
pass_result run_pass(const std::string& in_path, const std::string& out_path, unsigned workers,
                     const trouble& t, unsigned threads_that_start = quenlo::max_workers) {
    pass_result r;
    io::file_handle in{}, out{};
    EXPECT_EQ(io::open_input(in_path.c_str(), in), 0);
    EXPECT_EQ(io::open_output(out_path.c_str(), out), 0);
    EXPECT_EQ(io::truncate_output(out), 0);
    std::array<piece_buffer, max_buffers> buffers;
    EXPECT_TRUE(make_piece_buffer(buffers[0]));
    io::file_id id;
    EXPECT_EQ(io::identify(in, id), 0);
    counts c;
    const pass_calls calls = calls_with(t, c);
    piece first{buffers[0].in + lead_size};
    read_piece(calls, in, first);
    if (workers == 1) {
        r.o = one_thread_pass(calls, in, first, buffers[0], out);
    } else {
        pass_plan plan = plan_parallel_pass(in, id, first, workers, buffers);
        EXPECT_EQ(plan.workers, std::min(workers, quenlo::max_workers));
        plan.out = out;
        plan.calls = calls;
        plan.threads_that_start = threads_that_start;
        worker_crew crew;
        if (start_workers(plan, crew, buffers)) finish_workers(plan, crew, buffers, first, true, r.o);
        for (const auto& thread : crew.threads) EXPECT_FALSE(thread.joinable());
    }
    EXPECT_EQ(io::close_file(out), 0);
    EXPECT_EQ(io::close_file(in), 0);
    r.text = quenlo_test::read_file(out_path);
    r.reads = c.reads;
    r.writes = c.writes;
    return r;
}

// Twenty pieces and a bit, an escape or a CR LF across every edge between
// them, and a Ctrl-Z in the twelfth when asked.
std::string pieces_of_form_data(bool ctrl_z) {
    std::string in;
    quenlo_test::make_corpus(in, quenlo_test::corpus_kind::utf8, 20 * piece_size + 1000);
    for (std::size_t k = 1; k <= 20; ++k)
        in.replace(k * piece_size - 2, 3, k % 2 != 0 ? "%41" : "a\r\n");
    if (ctrl_z) in[11 * piece_size + 100] = '\x1A';
    return in;
}

TEST(ParallelPass, SameTextAndEndingAsTheOneThreadPass) {
    quenlo_test::temp_dir dir;
    struct pass_case {
        const char* what;
        bool ctrl_z;
        trouble t;
    };
    const std::vector<pass_case> cases = {
        {"all of it", false, {}},
        {"a Ctrl-Z in piece 11", true, {}},
        {"a read error in piece 7", false, {7 * piece_size + 1234, -1, 0}},
        {"a read error at piece 19's first byte", false, {19 * piece_size, -1, 0}},
        {"the fifth write failing", false, {std::numeric_limits<std::uint64_t>::max(), 4, 0}},
        {"a slow writer", false, {std::numeric_limits<std::uint64_t>::max(), -1, 2}},
    };
    for (const auto& c : cases) {
        const std::string in = pieces_of_form_data(c.ctrl_z);
        quenlo_test::write_file(dir.file("in"), in);
        const pass_result one = run_pass(dir.file("in"), dir.file("one"), 1, c.t);
        if (c.t.read_fails_at == std::numeric_limits<std::uint64_t>::max() && c.t.write_fails < 0) {
            ASSERT_TRUE(one.text == quenlo_test::reference_decode(in.substr(0, in.find('\x1A')))) << c.what;
            ASSERT_EQ(one.o.ctrl_z, c.ctrl_z) << c.what;
            if (c.ctrl_z) {
                ASSERT_EQ(one.o.ctrl_z_at, 11 * piece_size + 100) << c.what;
            }
        }
        for (const unsigned workers : {2u, 3u, 5u, 8u}) {
            const pass_result many = run_pass(dir.file("in"), dir.file("many"), workers, c.t);
            EXPECT_TRUE(many.text == one.text)
                << c.what << ", " << workers << " workers: " << many.text.size() << " bytes, not " << one.text.size();
            EXPECT_EQ(many.o.failed, one.o.failed) << c.what << ", " << workers << " workers";
            EXPECT_EQ(many.o.error, one.o.error) << c.what << ", " << workers << " workers";
            EXPECT_EQ(many.o.ctrl_z, one.o.ctrl_z) << c.what << ", " << workers << " workers";
            EXPECT_EQ(many.o.ctrl_z_at, one.o.ctrl_z_at) << c.what << ", " << workers << " workers";
        }
    }
}

// Threads that cannot start, however many were wanted: those that did are
// sent home having read nothing, and the output is untouched.
TEST(ParallelPass, AThreadThatCannotStartLeavesInputAndOutputUntouched) {
    quenlo_test::temp_dir dir;
    quenlo_test::write_file(dir.file("in"), pieces_of_form_data(false));
    for (unsigned workers = 2; workers <= quenlo::max_workers; ++workers) {
        for (unsigned started = 1; started < workers; ++started) {
            const pass_result r = run_pass(dir.file("in"), dir.file("out"), workers, {}, started);
            EXPECT_EQ(r.reads, 1) << workers << " workers, " << started << " started";  // the first piece's
            EXPECT_EQ(r.writes, 0) << workers << " workers, " << started << " started";
            EXPECT_TRUE(r.text.empty());
        }
    }
}

// However many processors are usable, no more workers than max_workers.
TEST(ParallelPass, AtMostMaxWorkers) {
    quenlo_test::temp_dir dir;
    const std::string in = pieces_of_form_data(false);
    quenlo_test::write_file(dir.file("in"), in);
    const pass_result r = run_pass(dir.file("in"), dir.file("out"), 4 * quenlo::max_workers, {});
    EXPECT_TRUE(r.text == quenlo_test::reference_decode(in));
}

#ifdef __linux__
// Every page of the buffers the pass plans is had before the output is
// touched, where a memory limit that kills on a page's first use would kill
// then: an input part for each worker, a text part for each buffer.
TEST(ParallelPass, PlannedBuffersAreHad) {
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);  // each buffer in a mapping of its own, never memory used before
    const auto had = [](const unsigned char* p, std::size_t n) {
        const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const auto begin = reinterpret_cast<std::uintptr_t>(p) / page * page;
        const auto end = (reinterpret_cast<std::uintptr_t>(p) + n + page - 1) / page * page;
        std::vector<unsigned char> resident((end - begin) / page);
        if (mincore(reinterpret_cast<void*>(begin), end - begin, resident.data()) != 0) return false;
        for (const unsigned char r : resident)
            if ((r & 1u) == 0) return false;
        return true;
    };
    {  // an emulator may take the request to have pages for a hint, and ignore it
        const std::size_t n = 4 * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* probe = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(probe, MAP_FAILED);
        const bool populates = io::take_pages(static_cast<unsigned char*>(probe), n) &&
                               had(static_cast<unsigned char*>(probe) + n / 2, 1);
        munmap(probe, n);
        if (!populates) GTEST_SKIP() << "this system does not have pages on request";
    }
    quenlo_test::temp_dir dir;
    quenlo_test::write_file(dir.file("in"), pieces_of_form_data(false));
    io::file_handle in{};
    ASSERT_EQ(io::open_input(dir.file("in").c_str(), in), 0);
    io::file_id id;
    ASSERT_EQ(io::identify(in, id), 0);
    std::array<piece_buffer, max_buffers> buffers;
    ASSERT_TRUE(make_piece_buffer(buffers[0]));
    piece first{buffers[0].in + lead_size};
    read_piece({}, in, first);
    const pass_plan plan = plan_parallel_pass(in, id, first, 2, buffers);
    ASSERT_EQ(plan.workers, 2u);
    for (std::size_t i = 1; i < buffers_per_worker * plan.workers; ++i) {
        EXPECT_TRUE(had(buffers[i].out, quenlo::decode_bound(piece_size))) << "text of buffer " << i;
        if (i < plan.workers) {
            EXPECT_TRUE(had(buffers[i].in - lead_size, lead_size + piece_size)) << "input " << i;
        }
    }
    EXPECT_EQ(io::close_file(in), 0);
}
#endif

}  // namespace
