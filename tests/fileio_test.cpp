// Tests of the file layer's retry logic, with no real file or system call
// (a scripted stand-in for the system call gives interruptions, short counts
// and errors on demand), and of where it places a thread.
#include "fileio.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#ifdef __linux__
#include <sched.h>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace {

// What one call of the stand-in returns: a count, or -1 and an error.
struct step {
    long long result;
    int error = 0;
};
const step interrupted{-1, EINTR};

// A system call that plays back `script`, one step per call, and records what
// it was asked for. A call past the end of the script is counted as an overrun.
struct scripted_call {
    std::vector<step> script;
    std::size_t calls = 0;
    bool overrun = false;

    long long next(int& error) {
        if (calls == script.size()) {
            overrun = true;
            error = ENOTRECOVERABLE;
            return -1;
        }
        const step s = script[calls++];
        if (s.result < 0) error = s.error;
        return s.result;
    }
};

struct write_case {
    const char* name;
    std::size_t size;
    std::vector<step> script;
    int expected_return;
    std::size_t expected_written;
};

TEST(WriteFully, RetriesAndResumes) {
    std::vector<step> many_interruptions(1000, interrupted);
    many_interruptions.push_back({4});
    const std::vector<write_case> cases = {
        {"interrupted, then whole", 10, {interrupted, {10}}, 0, 10},
        {"short writes continue where they stopped", 10, {{3}, {1}, interrupted, {6}}, 0, 10},
        {"one byte at a time", 5, {{1}, {1}, {1}, {1}, {1}}, 0, 5},
        {"a thousand interruptions", 4, many_interruptions, 0, 4},
        {"error after a short write", 10, {{4}, {-1, ENOSPC}}, ENOSPC, 4},
        {"broken pipe", 3, {{-1, EPIPE}}, EPIPE, 0},
        {"would block is not an interruption", 3, {{-1, EAGAIN}}, EAGAIN, 0},
        {"no progress and no error", 6, {{2}, {0}}, -1, 2},
        {"nothing to write", 0, {}, 0, 0},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> data(c.size);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>('a' + i);
        scripted_call call{c.script};
        std::string written;
        bool resumed_in_place = true;
        auto raw = [&](const unsigned char* p, std::size_t n, int& error) -> long long {
            // Each call must ask for exactly what is still unwritten.
            if (p != data.data() + written.size() || n != data.size() - written.size())
                resumed_in_place = false;
            const long long r = call.next(error);
            if (r > 0) written.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(r));
            return r;
        };
        EXPECT_EQ(quenlo::io::write_fully(raw, data.data(), data.size(), EINTR), c.expected_return)
            << c.name;
        EXPECT_EQ(written, std::string(reinterpret_cast<const char*>(data.data()), c.expected_written))
            << c.name;
        EXPECT_TRUE(resumed_in_place) << c.name;
        EXPECT_EQ(call.calls, c.script.size()) << c.name << ": every step used, none more";
        EXPECT_FALSE(call.overrun) << c.name;
    }
}

struct read_case {
    const char* name;
    std::vector<step> script;
    int expected_return;
    std::size_t expected_got;
};

// A read that got something returns at once, however little: waiting to fill
// the buffer would hold back a live filter's lines.
TEST(ReadRetrying, RetriesOnlyInterruptions) {
    const std::vector<read_case> cases = {
        {"interrupted twice, then data", {interrupted, interrupted, {5}}, 0, 5},
        {"short read is returned as it is", {{3}}, 0, 3},
        {"interrupted, then the end", {interrupted, {0}}, 0, 0},
        {"full buffer", {{16}}, 0, 16},
        {"input/output error", {{-1, EIO}}, EIO, 99},
        {"interrupted, then is a directory", {interrupted, {-1, EISDIR}}, EISDIR, 99},
        {"would block is not an interruption", {{-1, EAGAIN}}, EAGAIN, 99},
    };
    for (const auto& c : cases) {
        unsigned char buffer[16] = {};
        scripted_call call{c.script};
        bool same_request = true;
        auto raw = [&](unsigned char* p, std::size_t n, int& error) -> long long {
            if (p != buffer || n != sizeof buffer) same_request = false;
            const long long r = call.next(error);
            if (r > 0) std::memset(p, 'r', static_cast<std::size_t>(r));
            return r;
        };
        std::size_t got = 99;  // left alone on failure
        EXPECT_EQ(quenlo::io::read_retrying(raw, buffer, sizeof buffer, got, EINTR), c.expected_return)
            << c.name;
        EXPECT_EQ(got, c.expected_got) << c.name;
        EXPECT_TRUE(same_request) << c.name;
        EXPECT_EQ(call.calls, c.script.size()) << c.name;
        EXPECT_FALSE(call.overrun) << c.name;
    }
}

// Each worker is moved onto its own processor and then left free to move on:
// its affinity afterwards is what it was. The scheduler may move a thread
// between the move and the look, so each index has three tries. Under Wine
// the widening is a round trip to its server, after which the thread may
// wake anywhere: there only the restored affinity is checked.
TEST(StartOnProcessor, MovesThenLeavesFree) {
    const unsigned n = quenlo::io::usable_processors();
    if (n < 2) GTEST_SKIP() << "one usable processor";
    std::thread([n] {
#ifdef __linux__
        cpu_set_t before, after;
        ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
#elif defined(_WIN32)
        DWORD_PTR process = 0;
        DWORD_PTR system = 0;
        ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
#endif
        for (unsigned index = 0; index < 2 * n; ++index) {
#ifdef __linux__
            bool there = false;
            for (int tries = 0; tries < 3 && !there; ++tries) {
                quenlo::io::start_on_processor(index);
                there = quenlo::io::current_processor() == index % n;
            }
            EXPECT_TRUE(there) << index;
            ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
            EXPECT_TRUE(CPU_EQUAL(&before, &after)) << index;
#else
            quenlo::io::start_on_processor(index);
#endif
#ifdef _WIN32
            EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), process), process) << index;
#endif
        }
    }).join();
}

}  // namespace
