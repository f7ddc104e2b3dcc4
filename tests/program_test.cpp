// The program run as a user would: arguments, files, messages, exit statuses.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "run.h"

extern char** environ;

namespace {

using namespace quenlo_test;

const std::string banner =
    "Quenlo V1.00 for Win32 console application\n"
    "Copyright (C) 2026 The quenlo developers\n";
const std::string usage = "\nusage: quenlo input [output]\n";

std::string cannot_open_input(const std::string& path) {
    return "\x83\x74\x83\x40\x83\x43\x83\x8B [" + path +
           "] \x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\x2E";
}

TEST(Program, WrongArgumentCountShowsUsageAndOpensNothing) {
    temp_dir dir;
    const std::vector<std::vector<std::string>> calls = {
        {}, {dir.file("a"), dir.file("b"), dir.file("c")}};
    for (const auto& args : calls) {
        const auto r = run_quenlo(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, banner + usage);
        EXPECT_EQ(r.out, "");
        for (const auto& path : args) EXPECT_FALSE(exists(path)) << path;
    }
}

TEST(Program, ConsoleAndFileModeGiveTheSameText) {
    temp_dir dir;
    const std::string input = dir.file("in.txt");
    write_file(input, "item=red+pen&count=%32\r\nname=%E5%B1%B1\n-last%4");
    const std::string expected = "item=red pen\r\ncount=2\r\nname=\xE5\xB1\xB1\r\n-last%4";

    const auto console = run_quenlo({input});
    EXPECT_EQ(console.status, 0);
    EXPECT_EQ(console.err, banner);
    EXPECT_EQ(console.out, expected);

    const std::string output = dir.file("out.txt");
    write_file(output, "old content that is longer than the new one ......................");
    const auto file = run_quenlo({input, output});
    EXPECT_EQ(file.status, 0);
    EXPECT_EQ(file.err, banner);
    EXPECT_EQ(file.out, "");
    EXPECT_EQ(read_file(output), expected);
}

TEST(Program, TextModeReading) {
    temp_dir dir;
    const std::string input = dir.file("in.txt");
    write_file(input, std::string("a=1\r\nb\0c\rd\x1A" "after=ctrl-z\n", 24));
    const auto r = run_quenlo({input});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("a=1\r\nb\0c\r\nd", 11));
}

TEST(Program, EscapeAcrossReadBoundaryIsDecoded) {
    temp_dir dir;
    const std::string input = dir.file("in.txt");
    // Long enough that escapes and a CR LF fall on every kind of read boundary.
    std::string in, expected;
    for (int i = 0; i < 200000; ++i) {
        in += "%82%A0+\r\n";
        expected += "\x82\xA0 \r\n";
    }
    write_file(input, in);
    const auto r = run_quenlo({input});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == expected) << "output differs";
}

TEST(Program, EmptyInputTruncatesOutput) {
    temp_dir dir;
    write_file(dir.file("empty"), "");
    write_file(dir.file("out"), "old");
    const auto r = run_quenlo({dir.file("empty"), dir.file("out")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir.file("out")), "");
}

TEST(Program, OpenFailureMessagesAreExactEvenForLongPaths) {
    temp_dir dir;
    write_file(dir.file("in"), "x");
    const std::string long_name = dir.file(std::string(4900, 'p') + "%s");
    for (const std::string& missing : {dir.file("missing%d.txt"), long_name}) {
        write_file(dir.file("out"), "kept");
        const auto r = run_quenlo({missing, dir.file("out")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, banner + cannot_open_input(missing));
        EXPECT_EQ(read_file(dir.file("out")), "kept");

        const auto no_output = run_quenlo({missing, dir.file("never")});
        EXPECT_EQ(no_output.status, 1);
        EXPECT_FALSE(exists(dir.file("never")));

        const std::string bad_output = missing + "/out";
        const auto r2 = run_quenlo({dir.file("in"), bad_output});
        EXPECT_EQ(r2.status, 1);
        EXPECT_EQ(r2.err, banner + "Can't open file [" + bad_output + "]\n");
    }
}

TEST(Program, DirectoryAsInputIsAReadError) {
    temp_dir dir;
    write_file(dir.file("out"), "kept");
    const auto r = run_quenlo({dir.path, dir.file("out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, banner + "Can't read file [" + dir.path + "]: Is a directory\n");
    EXPECT_EQ(read_file(dir.file("out")), "kept");
}

TEST(Program, WriteErrorsAreReported) {
    temp_dir dir;
    write_file(dir.file("in"), "a=1\n");
    const auto file = run_quenlo({dir.file("in"), "/dev/full"});
    EXPECT_EQ(file.status, 1);
    EXPECT_EQ(file.err, banner + "Can't write file [/dev/full]: No space left on device\n");

    run_options to_full;
    to_full.stdout_path = "/dev/full";
    const auto console = run_quenlo({dir.file("in")}, to_full);
    EXPECT_EQ(console.status, 1);
    EXPECT_EQ(console.err, banner + "Can't write standard output: No space left on device\n");

    run_options closed;
    closed.close_stdout = true;
    const auto no_stdout = run_quenlo({dir.file("in")}, closed);
    EXPECT_EQ(no_stdout.status, 1);
    EXPECT_EQ(no_stdout.err, banner + "Can't write standard output: Bad file descriptor\n");
}

TEST(Program, InputIsNeverItsOwnOutput) {
    temp_dir dir;
    const std::string input = dir.file("in.txt");
    const std::string original = "a=1&b=%41\n";
    write_file(input, original);
    ASSERT_EQ(link(input.c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(symlink(input.c_str(), dir.file("soft").c_str()), 0);

    for (const auto& output : {input, dir.file("hard"), dir.file("soft")}) {
        const auto r = run_quenlo({input, output});
        EXPECT_EQ(r.status, 1) << output;
        EXPECT_EQ(r.err, banner + "Input and output are the same file [" + output + "]\n");
        EXPECT_EQ(read_file(input), original);
    }

    run_options append;
    append.stdout_path = input;
    append.stdout_append = true;
    const auto r = run_quenlo({input}, append);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, banner + "Input and output are the same file [" + input + "]\n");
    EXPECT_EQ(read_file(input), original);

    // Devices are never the same file as anything.
    const auto null_out = run_quenlo({input, "/dev/null"});
    EXPECT_EQ(null_out.status, 0);
}

TEST(Program, OptionLikeArgumentIsAPath) {
    temp_dir dir;
    write_file(dir.file("-v"), "a+b");
    run_options opts;
    const std::string cwd = get_current_dir_name();
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    const auto r = run_quenlo({"-v"}, opts);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "a b");
}

// Each line must come out while the input is still open: a live filter.
TEST(Program, DecodedTextIsWrittenBeforeTheNextReadWaits) {
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, to_child[1]);
    posix_spawn_file_actions_addclose(&actions, from_child[0]);
    char exe[] = QUENLO_EXE;
    char input[] = "/dev/stdin";
    char* argv[] = {exe, input, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(to_child[0]);
    close(from_child[1]);

    auto read_with_timeout = [&](std::size_t want) {
        std::string got;
        while (got.size() < want) {
            pollfd p{from_child[0], POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) break;
            char buf[256];
            const ssize_t n = read(from_child[0], buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    };
    for (const std::string line : {"a=1&b=%41\n", "c=x+y\r"}) {
        ASSERT_EQ(write(to_child[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
        const std::string expected = line[0] == 'a' ? "a=1\r\nb=A\r\n" : "c=x y\r\n";
        EXPECT_EQ(read_with_timeout(expected.size()), expected);
    }
    close(to_child[1]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    close(from_child[0]);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
}

}  // namespace
