// The program under faults a user can cause: outputs that fail or vanish,
// inputs that cannot be read, the input as its own output, huge lines and
// paths. POSIX only.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "convert.h"
#include "fileio.h"
#include "support/form_data.h"
#include "support/messages.h"
#include "support/reference_decoder.h"
#include "support/run.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUENLO_TEST_HAS_SANITIZER 1
#endif
#endif
#ifndef QUENLO_TEST_HAS_SANITIZER
#define QUENLO_TEST_HAS_SANITIZER 0
#endif

namespace {

using namespace quenlo_test;

// Form data of `size` bytes (Japanese in UTF-8, every byte escaped) and what it decodes to.
struct sample {
    std::string in, out;
};
sample form_data(std::size_t size) {
    sample s;
    make_corpus(s.in, corpus_kind::utf8, size);
    s.out = reference_decode(s.in);
    return s;
}

run_options stdout_to(const std::string& path) {
    run_options o;
    o.stdout_path = path;
    return o;
}

run_options stdout_closed() {
    run_options o;
    o.close_stdout = true;
    return o;
}

// Runs the program with standard output on an already open descriptor; a
// program still running after ten seconds is killed and reported as hanging.
run_result run_with_stdout(const std::vector<std::string>& args, int stdout_fd) {
    run_options o;
    o.stdout_fd = stdout_fd;
    o.timeout_seconds = 10;
    return run_quenlo(args, o);
}

TEST(Fault, WritesThatFail) {
    temp_dir dir;
    write_file(dir.file("one"), "x");
    write_file(dir.file("big"), form_data(8 << 20).in);
    const std::string full = cannot_write("/dev/full", "No space left on device");
    const std::string full_stdout = cannot_write_stdout("No space left on device");
    const std::string closed = cannot_write_stdout("Bad file descriptor");
    struct write_case {
        const char* input;
        bool file_mode;
        run_options options;
        std::string message;
    };
    const std::vector<write_case> cases = {
        {"one", true, {}, full},
        {"big", true, {}, full},
        {"one", false, stdout_to("/dev/full"), full_stdout},
        {"big", false, stdout_to("/dev/full"), full_stdout},
        {"big", false, stdout_closed(), closed},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{dir.file(c.input)};
        if (c.file_mode) args.push_back("/dev/full");
        const auto r = run_quenlo(args, c.options);
        EXPECT_EQ(r.status, 1) << c.input << " " << c.message;
        EXPECT_EQ(r.err, banner + c.message) << c.input;
    }
}

// quenlo big | head -c 10: the program must end, not hang, and at the default
// SIGPIPE say nothing; with SIGPIPE ignored it reports the broken pipe.
TEST(Fault, ReaderThatGoesAway) {
    temp_dir dir;
    const sample big = form_data(8 << 20);
    write_file(dir.file("big"), big.in);
    struct pipe_case {
        bool ignore_sigpipe;
        int status;
        std::string err;
    };
    const std::vector<pipe_case> cases = {
        {false, 128 + SIGPIPE, banner},
        {true, 1, banner + cannot_write_stdout("Broken pipe")},
    };
    for (const auto& c : cases) {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // the child must not hold the read end
        run_options o;
        o.stdout_fd = fds[1];
        o.ignore_sigpipe = c.ignore_sigpipe;
        o.timeout_seconds = 10;
        started_quenlo program = start_quenlo({dir.file("big")}, o);
        close(fds[1]);
        char head[10];
        std::size_t got = 0;
        while (got < sizeof head) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) break;
            const ssize_t n = read(fds[0], head + got, sizeof head - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        close(fds[0]);
        EXPECT_EQ(std::string(head, got), big.out.substr(0, 10));
        const auto r = wait_quenlo(program);
        EXPECT_EQ(r.status, c.status) << "SIGPIPE ignored: " << c.ignore_sigpipe;
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(Fault, OpeningOrReadingThatFails) {
    temp_dir dir;
    write_file(dir.file("in"), "a=1\n");
    ASSERT_EQ(mkdir(dir.file("subdir").c_str(), 0755), 0);
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("loop").c_str(), dir.file("loop").c_str()), 0);
    const std::string read_dir = cannot_read(dir.file("subdir"), "Is a directory");
    struct open_case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<open_case> cases = {
        {{dir.file("subdir")}, read_dir},
        {{dir.file("in"), dir.file("subdir")}, cannot_open_output(dir.file("subdir"))},
        {{dir.file("dangling"), dir.file("out")}, cannot_open_input(dir.file("dangling"))},
        {{dir.file("loop"), dir.file("out")}, cannot_open_input(dir.file("loop"))},
        {{dir.file("in/x"), dir.file("out")}, cannot_open_input(dir.file("in/x"))},
        {{"", dir.file("out")}, cannot_open_input("")},
        // Opens, but its first read fails: the output must not be touched.
        {{"/proc/self/mem", dir.file("out")}, cannot_read("/proc/self/mem", "Input/output error")},
    };
    for (const auto& c : cases) {
        // An existing output keeps its content, its inode and its time.
        write_file(dir.file("out"), "kept");
        const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, dir.file("out").c_str(), old_times, 0), 0);
        struct stat before {}, after {};
        ASSERT_EQ(stat(dir.file("out").c_str(), &before), 0);

        const auto r = run_quenlo(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.err, banner + c.message) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
        ASSERT_EQ(stat(dir.file("out").c_str(), &after), 0);
        EXPECT_EQ(read_file(dir.file("out")), "kept") << c.args[0];
        EXPECT_EQ(after.st_ino, before.st_ino) << c.args[0];
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << c.args[0];
        EXPECT_EQ(read_file(dir.file("in")), "a=1\n");

        // ... and a missing output is not created.
        if (c.args.size() == 2 && c.args[1] == dir.file("out")) {
            const auto none = run_quenlo({c.args[0], dir.file("never")});
            EXPECT_EQ(none.status, 1) << c.args[0];
            EXPECT_FALSE(exists(dir.file("never"))) << c.args[0];
        }
    }
}

// A closed standard handle named by its path (/dev/stdin with standard input
// closed) is no file at all: it must neither read as empty nor swallow the
// text. Whatever is closed, /dev/null and real files still work.
TEST(Fault, ClosedStandardHandles) {
    temp_dir dir;
    write_file(dir.file("in"), "a=%41\n");
    struct closed_case {
        std::string closed;  // which standard handles: "0", "02", ...
        std::vector<std::string> args;
        int status;
        std::string err;  // unchecked when standard error is closed
        std::string out;  // what "out" holds afterwards
    };
    const std::string in = dir.file("in"), out = dir.file("out");
    const std::vector<closed_case> cases = {
        {"0", {"/dev/stdin"}, 1, banner + cannot_open_input("/dev/stdin"), "kept"},
        {"0", {"/dev/stdin", out}, 1, banner + cannot_open_input("/dev/stdin"), "kept"},
        {"1", {in, "/dev/stdout"}, 1, banner + cannot_open_output("/dev/stdout"), "kept"},
        {"2", {in, "/dev/stderr"}, 1, "", "kept"},
        // Standard output closed, and standard input with it: the text has nowhere to go.
        {"01", {in}, 1, banner + cannot_write_stdout("Bad file descriptor"), "kept"},
        // /dev/null itself stays a file like any other.
        {"0", {"/dev/null", out}, 0, banner, ""},
        {"1", {in, "/dev/null"}, 0, banner, "kept"},
        {"012", {"/dev/null", "/dev/null"}, 0, "", "kept"},
        // Nothing to say, nowhere to say it: the text still goes where it was asked to.
        {"2", {in, out}, 0, "", "a=A\r\n"},
        {"02", {in, out}, 0, "", "a=A\r\n"},
        {"012", {in, out}, 0, "", "a=A\r\n"},
    };
    for (const auto& c : cases) {
        write_file(out, "kept");
        run_options o;
        o.close_stdin = c.closed.find('0') != std::string::npos;
        o.close_stdout = c.closed.find('1') != std::string::npos;
        o.close_stderr = c.closed.find('2') != std::string::npos;
        const auto r = run_quenlo(c.args, o);
        const std::string what = c.closed + " closed, " + c.args.back();
        EXPECT_EQ(r.status, c.status) << what;
        if (!o.close_stderr) {
            EXPECT_EQ(r.err, c.err) << what;
        }
        EXPECT_EQ(read_file(out), c.out) << what;
    }
}

// The environment that preloads the shim into the program, naming the calls
// it makes fail (QUENLO_TEST_FAIL) and slow (QUENLO_TEST_SLOW).
std::vector<std::string> shim_env(const std::string& fail, const std::string& slow = "") {
    // The shim loads beside a sanitizer's runtime, not before it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {QUENLO_PRELOAD "=" QUENLO_FAIL_SHIM, "QUENLO_TEST_FAIL=" + fail, "QUENLO_TEST_SLOW=" + slow,
            "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"};
}

// Errors no file system here gives on demand, staged by a shim that makes
// one system call fail with EIO on one named file.
TEST(Fault, FailuresStagedByAShim) {
    temp_dir dir;
    // Five reads and a bit: with two workers, the fifth piece goes into the
    // first one's room, which must wait for its text to go out.
    const sample big = form_data(5 * quenlo::read_size + 1000);
    write_file(dir.file("in"), big.in);
    const std::string io_error = "Input/output error";
    struct shim_case {
        std::string fail;  // CALL:NAME[:AFTER]
        bool file_mode;
        int status;
        std::string err;
        std::string out;  // what the output holds afterwards; "*" for a leading part of the text
        bool one_processor = false;
        std::string slow{};  // CALL:NAME:MS: calls slowed down
    };
    const std::vector<shim_case> cases = {
        // Closing the input is the one failure that is reported only by the status.
        {"close:in", false, 255, banner, big.out},
        {"close:in", true, 255, banner, big.out},
        {"close:out", true, 1, banner + cannot_write(dir.file("out"), io_error), big.out},
        // With no thread to be had, the one-thread pass decodes it all; on
        // one processor, reads that fail after the first end it there.
        {"pthread_create:*", false, 0, banner, big.out},
        {"read:in:1", false, 1, banner + cannot_read(dir.file("in"), io_error), "*", true},
        {"read:in:2", true, 1, banner + cannot_read(dir.file("in"), io_error), "*", true},
        {"ftruncate:out", true, 1, banner + cannot_write(dir.file("out"), io_error), "kept"},
        {"", true, 0, banner, big.out, false, "write:out:30"},
    };
    for (const auto& c : cases) {
        write_file(dir.file("out"), "kept");
        run_options o;
        o.env = shim_env(c.fail, c.slow);
        o.one_processor = c.one_processor;
        std::vector<std::string> args{dir.file("in")};
        if (c.file_mode) args.push_back(dir.file("out"));
        const auto r = run_quenlo(args, o);
        const std::string out = c.file_mode ? read_file(dir.file("out")) : r.out;
        EXPECT_EQ(r.status, c.status) << c.fail;
        EXPECT_EQ(r.err, c.err) << c.fail;
        if (c.out == "*") {
            EXPECT_TRUE(!out.empty() && out.size() < big.out.size() &&
                        big.out.compare(0, out.size(), out) == 0)
                << c.fail << ": " << out.size() << " bytes of " << big.out.size();
        } else {
            EXPECT_TRUE(out == c.out) << c.fail << ": " << out.size() << " bytes";
        }
    }
}

// A regular file of several pieces, each decoded by a worker of its own:
// whatever fails, the text comes out in order up to the failure, then the
// message, and nothing after it.
TEST(Fault, PiecesDecodedInParallelStopInOrder) {
    if (quenlo::io::usable_processors() < 2) GTEST_SKIP() << "one processor: the one-thread pass runs";
    constexpr std::size_t piece = quenlo::read_size;
    constexpr std::size_t pieces = 6;
    // Sixteen bytes that decode to ten divide a piece: its text is known.
    const std::string unit = "a=%E5%B1%B1+xyz&", unit_out = "a=\xE5\xB1\xB1 xyz\r\n";
    std::string in, out;
    for (std::size_t i = 0; i < pieces * piece / unit.size(); ++i) in += unit, out += unit_out;
    const std::size_t piece_out = piece / unit.size() * unit_out.size();
    temp_dir dir;
    write_file(dir.file("in"), in);
    const std::string cant_read = banner + cannot_read(dir.file("in"), "Input/output error");
    const std::string cant_write = banner + cannot_write(dir.file("out"), "Input/output error");
    struct parallel_case {
        std::string fail, slow;
        long pieces_out;  // pieces whose text is written; -1: the output is not even emptied
        std::string err;
    };
    std::vector<parallel_case> cases = {
        {"read:in:0", "", -1, cant_read},
        // Every worker is in a read when the first write fails: each stops,
        // and the input is closed only after their reads (or the shim aborts).
        {"write:out:0", "pread:in:300,write:out:100", 0, cant_write},
        {"write:out:2", "", 2, cant_write},
    };
    // A read failing at each later piece is driven in-process (parallel_pass_test.cpp); here, one, with its message.
    cases.push_back({"pread:in:" + std::to_string(3 * piece + piece / 2), "", 3, cant_read});
    for (const auto& c : cases) {
        write_file(dir.file("out"), "kept");
        run_options o;
        o.env = shim_env(c.fail, c.slow);
        const auto r = run_quenlo({dir.file("in"), dir.file("out")}, o);
        EXPECT_EQ(r.status, 1) << c.fail;
        EXPECT_EQ(r.err, c.err) << c.fail;
        const std::string expected = c.pieces_out < 0 ? "kept" : out.substr(0, static_cast<std::size_t>(c.pieces_out) * piece_out);
        EXPECT_TRUE(read_file(dir.file("out")) == expected) << c.fail << ": " << read_file(dir.file("out")).size() << " bytes";
    }
}

// A file written while it is read. The two bytes before a piece are read
// twice, by the piece's own worker and by the previous piece's: whatever the
// second read sees, the output is the decoding of what was read first, each
// byte once. An escape or a CR LF across the edge stays whole, and one that
// the file's new end cuts short is written as it stands.
TEST(Fault, FileChangedAtAPieceEdge) {
    if (quenlo::io::usable_processors() < 2) GTEST_SKIP() << "one processor: the one-thread pass runs";
    constexpr std::size_t edge = 2 * quenlo::read_size;
    auto filler = [](std::size_t n) {
        std::string f;
        while (f.size() < n) f += "a=b&";
        return f.substr(0, n);
    };
    struct edge_case {
        std::string before, after;  // the two bytes before the edge, what follows it
        std::string change;         // those two bytes after the first read; "": the file ends before them
    };
    const std::vector<edge_case> cases = {
        {"%4", "1", "ab"}, {"ab", "1", "%4"}, {"a\r", "\n", "ab"}, {"a%", "41", ""}, {"%4", "1", ""},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        const std::string in = filler(edge - 2) + c.before + c.after + filler(quenlo::read_size);
        write_file(dir.file("in"), in);
        run_options o;
        o.env = shim_env("");
        o.env.push_back("QUENLO_TEST_CHANGE=in:" + std::to_string(edge - 2) + ":" + c.change);
        const auto r = run_quenlo({dir.file("in")}, o);
        const std::string expected = reference_decode(c.change.empty() ? in.substr(0, edge) : in);
        EXPECT_EQ(r.status, 0) << c.before << " -> " << c.change;
        EXPECT_EQ(r.err, banner);
        EXPECT_TRUE(r.out == expected) << c.before << " -> " << c.change << ": ends "
                                       << r.out.substr(r.out.size() - std::min<std::size_t>(r.out.size(), 8));
    }
}

// Memory that runs short, at every limit from too little to start the
// program to plenty: out of memory before the output is touched, a message,
// status 1 and the output as it was; memory short only for the workers, the
// one-thread pass. Never an abort, never an emptied output without its text.
TEST(Fault, MemoryRunningShort) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || QUENLO_TEST_HAS_SANITIZER
    GTEST_SKIP() << "a sanitizer's runtime needs more address space than the limits tried";
#endif
    if (std::string(QUENLO_PRELOAD) != "LD_PRELOAD") GTEST_SKIP() << "the limit would bind the emulator";
    temp_dir dir;
    const sample s = form_data(1 << 20);  // four pieces
    write_file(dir.file("in"), s.in);
    int refused = 0, decoded = 0;
    // Finely where the program starts to load: a window a few dozen KiB wide
    // once aborted it there, with nothing said.
    for (std::size_t kib = 2048; kib <= 24576; kib += kib < 8192 ? 64 : 256) {
        write_file(dir.file("out"), "kept");
        run_options o;
        o.address_space_kib = kib;
        o.stack_kib = 256;  // a thread's stack is as large: threads can start where buffers cannot
        const auto r = run_quenlo({dir.file("in"), dir.file("out")}, o);
        const std::string out = read_file(dir.file("out"));
        if (r.err.rfind(banner, 0) != 0) {  // too little even to load the program
            EXPECT_EQ(r.status, 127) << kib << " KiB: " << r.err;
            EXPECT_EQ(out, "kept") << kib << " KiB";
        } else if (r.status == 0) {
            ++decoded;
            EXPECT_EQ(r.err, banner) << kib << " KiB";
            EXPECT_TRUE(out == s.out) << kib << " KiB: " << out.size() << " bytes";
        } else {
            ++refused;
            EXPECT_EQ(r.status, 1) << kib << " KiB: " << r.err;
            EXPECT_EQ(r.err, banner + no_memory(dir.file("in"))) << kib << " KiB";
            EXPECT_EQ(out, "kept") << kib << " KiB";
        }
    }
    EXPECT_GT(refused, 0) << "no limit ran the program short of memory";
    EXPECT_GT(decoded, 0);
}

// A memory limit that the system enforces by killing the program when a page
// is first used (a memory cgroup): at every limit, the program decodes it all
// or stops while the output is as it was, never once it has been emptied.
TEST(Fault, MemoryCgroupKillsOnlyBeforeTheOutputIsTouched) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || QUENLO_TEST_HAS_SANITIZER
    GTEST_SKIP() << "a sanitizer's runtime needs more memory than the limits tried";
#endif
    if (std::string(QUENLO_PRELOAD) != "LD_PRELOAD") GTEST_SKIP() << "the limit would bind the emulator";
    // A new group for each limit: a used group stays charged for what its
    // runs left in the file cache and refuses a limit below that charge, on
    // one CI machine even after sync and memory.force_empty.
    const std::string groups = "/sys/fs/cgroup/memory/quenlo-test-" + std::to_string(getpid()) + "-";
    if (mkdir((groups + "probe").c_str(), 0755) != 0) GTEST_SKIP() << "needs root and a cgroup v1 memory controller";
    rmdir((groups + "probe").c_str());
    temp_dir dir;
    // The parallel pass on form text of a few pieces; the one-thread pass on
    // one piece whose text is twice as long, so that every page of its
    // buffer's text is used. Little text either way: a file's text is kept
    // in the file cache until written back, and a limit can kill any program
    // that writes faster than that.
    sample doubling;
    doubling.in.assign(quenlo::read_size - 1000, '&');
    for (std::size_t i = 0; i < doubling.in.size(); ++i) doubling.out += "\r\n";
    const std::vector<std::pair<bool, sample>> runs = {{false, form_data(3 * quenlo::read_size + 1000)},
                                                       {true, doubling}};
    int stopped = 0, decoded = 0;
    for (const auto& [one_processor, s] : runs) {
        write_file(dir.file("in"), s.in);
        for (std::size_t kib = 512; kib <= 6144; kib += 128) {
            const std::string group = groups + std::to_string(kib) + (one_processor ? "-one" : "");
            ASSERT_EQ(mkdir(group.c_str(), 0755), 0) << group << ": " << std::strerror(errno);
            const std::unique_ptr<const char, void (*)(const char*)> removed(group.c_str(),
                                                                            [](const char* g) { rmdir(g); });
            write_file(group + "/memory.limit_in_bytes", std::to_string(kib * 1024));
            write_file(dir.file("out"), "kept");
            run_options o;
            o.cgroup = group;
            o.one_processor = one_processor;
            const auto r = run_quenlo({dir.file("in"), dir.file("out")}, o);
            const std::string out = read_file(dir.file("out"));
            const std::string what = std::to_string(kib) + " KiB" + (one_processor ? ", one processor" : "");
            if (r.status == 0) {
                ++decoded;
                EXPECT_TRUE(out == s.out) << what << ": " << out.size() << " bytes";
            } else {
                ++stopped;
                EXPECT_TRUE(out == "kept") << what << ", status " << r.status << ", " << out.size() << " bytes left";
            }
        }
    }
    EXPECT_GT(stopped, 0) << "no limit stopped the program";
    EXPECT_GT(decoded, 0);
}

// A new output file gets the usual permissions: 0666 less the umask.
TEST(Fault, NewOutputFollowsTheUmask) {
    temp_dir dir;
    write_file(dir.file("in"), "a\n");
    for (const mode_t mask : {mode_t{0}, mode_t{027}}) {
        const mode_t previous = umask(mask);
        const auto r = run_quenlo({dir.file("in"), dir.file("new")});
        umask(previous);
        struct stat st {};
        ASSERT_EQ(stat(dir.file("new").c_str(), &st), 0);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << std::oct << mask;
        unlink(dir.file("new").c_str());
    }
}

// Two files on two file systems may share an inode number: they are not one file.
TEST(Fault, SameInodeOnAnotherFileSystemIsAnotherFile) {
    temp_dir dir;
    const std::string a = dir.file("a"), b = dir.file("b");
    ASSERT_EQ(mkdir(a.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
    if (mount("none", a.c_str(), "tmpfs", 0, nullptr) != 0) GTEST_SKIP() << "needs root to mount tmpfs";
    if (mount("none", b.c_str(), "tmpfs", 0, nullptr) != 0) {
        umount(a.c_str());
        GTEST_SKIP() << "needs root to mount tmpfs";
    }
    write_file(a + "/in", "a=%41\n");
    write_file(b + "/out", "old");
    struct stat in {}, out {};
    stat((a + "/in").c_str(), &in);
    stat((b + "/out").c_str(), &out);
    if (in.st_ino == out.st_ino) {
        const auto r = run_quenlo({a + "/in", b + "/out"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(b + "/out"), "a=A\r\n");
    }
    umount(a.c_str());
    umount(b.c_str());
    if (in.st_ino != out.st_ino) GTEST_SKIP() << "the two new tmpfs files got different inode numbers";
}

// Ways of naming the input as the output that the plain cases do not show
// (symbolic links either way, hard links, "..");
// the input is larger than one read, and must survive byte for byte.
TEST(Fault, InputAsItsOwnOutputInOtherGuises) {
    temp_dir dir;
    const std::string original = form_data(1 << 20).in;
    const std::string input = dir.file("in");
    write_file(input, original);
    ASSERT_EQ(link(input.c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(symlink(input.c_str(), dir.file("soft").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("soft").c_str(), dir.file("soft2").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    const std::string roundabout = dir.file("sub/../in");

    const std::vector<std::vector<std::string>> file_mode = {
        {input, dir.file("soft")}, {dir.file("soft"), input}, {dir.file("soft2"), dir.file("hard")},
        {input, roundabout}};
    for (const auto& args : file_mode) {
        const auto r = run_quenlo(args);
        EXPECT_EQ(r.status, 1) << args[0] << " -> " << args[1];
        EXPECT_EQ(r.err, banner + same_file(args[1]));
        EXPECT_TRUE(read_file(input) == original) << args[0] << " -> " << args[1];
    }

    // Console mode: quenlo in >> hard, quenlo in 1<> in, quenlo soft > (no truncation) in.
    struct console_case {
        std::string input, opened;
        int flags;
    };
    const std::vector<console_case> console = {
        {input, dir.file("hard"), O_WRONLY | O_APPEND},
        {input, input, O_RDWR},
        {dir.file("soft"), input, O_WRONLY},
    };
    for (const auto& c : console) {
        const int fd = open(c.opened.c_str(), c.flags);
        ASSERT_GE(fd, 0);
        const auto r = run_with_stdout({c.input}, fd);
        close(fd);
        EXPECT_EQ(r.status, 1) << c.opened << " flags " << c.flags;
        EXPECT_EQ(r.err, banner + same_file(c.input));
        EXPECT_TRUE(read_file(input) == original) << c.opened << " flags " << c.flags;
    }
}

// A FIFO shares one store between its reader and its writer: reading its own
// output back, the program would never end.
TEST(Fault, SameFifoAsInputAndOutputIsRefused) {
    temp_dir dir;
    const std::string fifo = dir.file("ff");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    run_options o;
    o.stdout_fd = STDOUT_FILENO;
    o.timeout_seconds = 10;
    started_quenlo program = start_quenlo({fifo, fifo}, o);
    const int writer = open(fifo.c_str(), O_WRONLY);  // waits for the program to open it
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "a=1\n", 4), 4);
    const auto r = wait_quenlo(program);
    close(writer);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, banner + same_file(fifo));
}

// One disk under two device nodes, a loop device and the file behind it, two
// loop devices over one file: each pair is one file, never decoded onto itself.
TEST(Fault, SameBlockDeviceAsInputAndOutputIsRefused) {
    temp_dir dir;
    const std::string image = dir.file("disk.img");
    const std::string original = form_data(64 << 10).in;
    write_file(image, original);
    FILE* attach = popen(("losetup -f --show " + image + " 2>/dev/null").c_str(), "r");
    char name[64] = {};
    const bool attached = attach != nullptr && fgets(name, sizeof name, attach) != nullptr;
    if (attach != nullptr) pclose(attach);
    if (!attached) GTEST_SKIP() << "needs root and losetup to attach a loop device";
    const std::string device = std::string(name, std::strcspn(name, "\n"));
    struct stat st {};
    ASSERT_EQ(stat(device.c_str(), &st), 0);
    const std::string alias = dir.file("alias");
    const bool aliased = mknod(alias.c_str(), S_IFBLK | 0600, st.st_rdev) == 0;

    // A second loop device over the same image, and the image itself, are that disk too.
    FILE* again = popen(("losetup -f --show " + image + " 2>/dev/null").c_str(), "r");
    char second_name[64] = {};
    const bool twice = again != nullptr && fgets(second_name, sizeof second_name, again) != nullptr;
    if (again != nullptr) pclose(again);
    const std::string second(second_name, std::strcspn(second_name, "\n"));

    std::vector<std::vector<std::string>> calls = {{device, device}, {device, image}, {image, device}};
    if (aliased) calls.push_back({device, alias});
    if (twice) calls.push_back({second, device});
    for (const auto& args : calls) {
        const auto r = run_quenlo(args);
        EXPECT_EQ(r.status, 1) << args[0] << " " << args[1];
        EXPECT_EQ(r.err, banner + same_file(args[1]));
    }
    EXPECT_TRUE(read_file(image) == original) << "the disk image changed";
    // With its backing file deleted, the device is known by its number alone.
    const std::string kept = dir.file("kept.img");
    ASSERT_EQ(link(image.c_str(), kept.c_str()), 0);
    ASSERT_EQ(unlink(image.c_str()), 0);
    std::vector<std::vector<std::string>> bare = {{device, device}};
    if (aliased) bare.push_back({device, alias});
    for (const auto& args : bare) {
        const auto r = run_quenlo(args);
        EXPECT_EQ(r.status, 1) << "deleted backing file: " << args[0] << " " << args[1];
    }
    ASSERT_EQ(rename(kept.c_str(), image.c_str()), 0);
    EXPECT_EQ(std::system(("losetup -d " + device).c_str()), 0);
    if (twice) {
        EXPECT_EQ(std::system(("losetup -d " + second).c_str()), 0);
    }
    EXPECT_TRUE(read_file(image) == original) << "the disk image changed";
}

// Routes into the input through loop devices and mounts, whatever became of
// the names: a loop device over a loop device over the input, either one as
// the input; a backing file deleted under one name and alive under another,
// or named with a newline; the disk holding the input's file system, and the
// reverse, a disk read while a file on it is written. Files side by side on
// that disk are still two files.
TEST(Fault, InputReachedThroughLoopDevicesAndMountsIsRefused) {
    temp_dir dir;
    auto attach = [](const std::string& file) {
        FILE* p = popen(("losetup -f --show '" + file + "' 2>/dev/null").c_str(), "r");
        char name[64] = {};
        const bool ok = p != nullptr && fgets(name, sizeof name, p) != nullptr;
        if (p != nullptr) pclose(p);
        return ok ? std::string(name, std::strcspn(name, "\n")) : std::string();
    };
    const std::string original = form_data(64 << 10).in;
    const std::string image = dir.file("disk.img"), odd = dir.file("new\nline.img");
    write_file(image, original);
    write_file(odd, original);
    const std::string lower = attach(image);
    if (lower.empty()) GTEST_SKIP() << "needs root and losetup to attach a loop device";
    const std::string upper = attach(lower), beside = attach(odd);
    ASSERT_FALSE(upper.empty() || beside.empty());
    std::vector<std::vector<std::string>> refused = {
        {image, upper}, {lower, upper}, {upper, lower}, {upper, image}, {odd, beside}};

    // A file system on a loop device, mounted, with the input on it.
    const std::string fs_image = dir.file("fs.img"), mnt = dir.file("mnt");
    std::string fs_device;
    bool mounted = false;
    write_file(fs_image, std::string(8 << 20, '\0'));
    if (std::system(("mkfs.ext4 -q -F '" + fs_image + "' >/dev/null 2>&1").c_str()) == 0 && mkdir(mnt.c_str(), 0700) == 0) {
        fs_device = attach(fs_image);
        mounted = !fs_device.empty() && mount(fs_device.c_str(), mnt.c_str(), "ext4", 0, nullptr) == 0;
    }
    const std::string on_disk = mnt + "/in.txt";
    if (mounted) {
        write_file(on_disk, original);
        refused.insert(refused.end(), {{on_disk, fs_device}, {on_disk, fs_image}, {fs_device, mnt + "/out.txt"}});
    }
    auto check_refused = [&](const char* when) {
        for (const auto& args : refused) {
            const auto r = run_quenlo(args);
            EXPECT_EQ(r.status, 1) << when << args[0] << " " << args[1];
            EXPECT_EQ(r.err, banner + same_file(args[1])) << when;
        }
    };
    check_refused("");
    if (mounted) {
        const auto r = run_quenlo({on_disk, mnt + "/out.txt"});
        EXPECT_EQ(r.status, 0) << "two files on one disk: " << r.err;
        EXPECT_TRUE(read_file(mnt + "/out.txt") == reference_decode(original));
    }
    // The image deleted, alive under another name: no path leads from the devices to it.
    const std::string kept = dir.file("kept.img");
    ASSERT_EQ(link(image.c_str(), kept.c_str()), 0);
    ASSERT_EQ(unlink(image.c_str()), 0);
    refused = {{kept, lower}, {kept, upper}};
    check_refused("image deleted: ");

    if (mounted) {
        EXPECT_TRUE(read_file(on_disk) == original) << "the input on the mounted disk changed";
        EXPECT_EQ(umount(mnt.c_str()), 0);
        EXPECT_EQ(std::system(("e2fsck -fn '" + fs_image + "' >/dev/null 2>&1").c_str()), 0) << "the file system is damaged";
    }
    for (const std::string& d : {upper, lower, beside, fs_device})
        if (!d.empty()) {
            EXPECT_EQ(std::system(("losetup -d " + d).c_str()), 0) << d;
        }
    EXPECT_TRUE(read_file(kept) == original) << "the disk image changed";
    EXPECT_TRUE(read_file(odd) == original) << "the image with a newline in its name changed";
}

// A terminal (or /dev/null) receives the text; it is never "the same file".
// On a terminal as standard error, the "cannot open" message is for a person:
// in UTF-8 under a UTF-8 locale, in Shift_JIS under any other, line ended
// either way (into files and pipes it stays as it was: the other tests).
TEST(Fault, TerminalAndNullAreNotRefused) {
    temp_dir dir;
    write_file(dir.file("in"), "a=1&b=%41+\r\n");
    const std::string expected = "a=1\r\nb=A \r\n";

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    const int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw);  // the bytes as written, no LF to CR LF on the way
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);

    auto read_terminal = [&](std::size_t want) {
        std::string got;
        pollfd p{master, POLLIN, 0};
        while (got.size() < want && poll(&p, 1, 5000) > 0) {
            char buf[64];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    };

    const auto console = run_quenlo({dir.file("in")}, stdout_to(terminal));
    EXPECT_EQ(console.status, 0);
    EXPECT_EQ(console.err, banner);
    EXPECT_EQ(read_terminal(expected.size()), expected);

    const auto file = run_quenlo({dir.file("in"), terminal});
    EXPECT_EQ(file.status, 0);
    EXPECT_EQ(file.err, banner);
    EXPECT_EQ(read_terminal(expected.size()), expected);

    const std::string missing = dir.file("missing \xE3\x81\x82.txt");
    struct locale_case {
        const char* locale;
        std::string message;
    };
    for (const locale_case& c : {locale_case{"C.UTF-8", cannot_open_input_utf8(missing)},
                                 locale_case{"C", cannot_open_input(missing) + eol}}) {
        run_options o;
        o.stderr_path = terminal;
        o.env = {std::string("LC_ALL=") + c.locale};
        const auto r = run_quenlo({missing}, o);
        EXPECT_EQ(r.status, 1) << c.locale;
        EXPECT_EQ(read_terminal(banner.size() + c.message.size()), banner + c.message) << c.locale;
    }
    close(slave);
    close(master);

    // Character devices read and write separate streams, even as input and output at once.
    const std::vector<std::vector<std::string>> null_calls = {{"/dev/null", "/dev/null"}, {"/dev/null"}};
    for (const auto& args : null_calls) {
        const auto null = run_quenlo(args, stdout_to("/dev/null"));
        EXPECT_EQ(null.status, 0) << args.size();
        EXPECT_EQ(null.err, banner) << args.size();
    }
}

// One 50 MB line: no line end anywhere, escapes across every read boundary.
TEST(Fault, FiftyMegabyteLine) {
    temp_dir dir;
    std::string in, expected;
    in.reserve(50 << 20);
    expected.reserve(40 << 20);
    while (in.size() < (50 << 20)) {
        in += "ab%41+%e3";
        expected += "abA \xE3";
    }
    write_file(dir.file("in"), in);
    in.clear();
    const auto r = run_quenlo({dir.file("in"), dir.file("out")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, banner);
    EXPECT_TRUE(read_file(dir.file("out")) == expected) << "the long line differs";
}

const std::string component(200, 'd');

// Writes `content` to `file` in directories nested `depth` deep under `base`,
// each named `component`, and returns the file's whole path ("" on failure).
// Each step is made relative to the last, since the whole path may be longer
// than the system accepts.
std::string make_deep(const std::string& base, int depth, const std::string& file,
                      const std::string& content) {
    int fd = open(base.c_str(), O_DIRECTORY | O_RDONLY);
    std::string path = base;
    for (int i = 0; i < depth && fd >= 0; ++i) {
        mkdirat(fd, component.c_str(), 0755);
        const int next = openat(fd, component.c_str(), O_DIRECTORY | O_RDONLY);
        close(fd);
        fd = next;
        path += "/" + component;
    }
    if (fd < 0) return "";
    const int f = openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool written = f >= 0 && write(f, content.data(), content.size()) ==
                                       static_cast<ssize_t>(content.size());
    if (f >= 0) close(f);
    close(fd);
    return written ? path + "/" + file : "";
}

TEST(Fault, PathsOfThousandsOfBytes) {
    temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("b").c_str(), 0755), 0);
    // Nineteen levels stay under the 4096-byte limit of Linux; twenty-five
    // go over it, where the system refuses the path with ENAMETOOLONG.
    const std::string in = make_deep(dir.file("a"), 19, "in", "a=%41&b\n");
    const std::string out = make_deep(dir.file("b"), 19, "out", "");
    const std::string too_long_in = make_deep(dir.file("a"), 25, "in", "x");
    const std::string too_long_out = make_deep(dir.file("b"), 25, "out", "kept");
    ASSERT_FALSE(in.empty() || out.empty() || too_long_in.empty() || too_long_out.empty());
    ASSERT_GT(in.size(), 3800u);
    ASSERT_GT(too_long_in.size(), 5000u);
    const std::string decoded = "a=A\r\nb\r\n";

    struct path_case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const std::vector<path_case> cases = {
        {{in}, 0, decoded, banner},
        {{in, out}, 0, "", banner},
        {{in, in}, 1, "", banner + same_file(in)},
        {{too_long_in, out}, 1, "", banner + cannot_open_input(too_long_in)},
        {{in, too_long_out}, 1, "", banner + cannot_open_output(too_long_out)},
    };
    for (const auto& c : cases) {
        const auto r = run_quenlo(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.size() << " arguments, " << c.args.back().size();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(read_file(out), decoded);
    EXPECT_EQ(read_file(in), "a=%41&b\n");
}

}  // namespace
