// The program run as a user would: arguments, files, messages, exit statuses.
// The first cases run on every system; the cases that need POSIX facilities or
// Windows file names are compiled only there and skipped by name elsewhere.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>

#include "convert.h"
#include "support/messages.h"
#include "support/reference_decoder.h"
#include "support/run.h"

namespace {

using namespace quenlo_test;

// Checks a "HEAD: REASON" message. On POSIX systems REASON is strerror's
// fixed English text; Windows words it in the user's language, so there only
// its form is checked: one line, without the system text's own period.
void expect_reason_message(const std::string& err, const std::string& head,
                           const std::string& posix_reason) {
#ifdef _WIN32
    (void)posix_reason;
    const std::string start = banner + head + ": ";
    ASSERT_GT(err.size(), start.size() + eol.size()) << err;
    EXPECT_EQ(err.substr(0, start.size()), start);
    EXPECT_EQ(err.substr(err.size() - eol.size()), eol);
    const std::string reason = err.substr(start.size(), err.size() - start.size() - eol.size());
    EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << reason;
    EXPECT_NE(reason.back(), '.') << reason;
    EXPECT_NE(reason.back(), ' ') << reason;
#else
    EXPECT_EQ(err, banner + head + ": " + posix_reason + eol);
#endif
}

// Runs quenlo with `dir` as the current directory, so that names stay as short as given.
run_result run_in(const std::string& dir, const std::vector<std::string>& args,
                  const run_options& options = {}) {
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(fs_path(dir));
    const auto r = run_quenlo(args, options);
    std::filesystem::current_path(cwd);
    return r;
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

// A Ctrl-Z ends the input, however many reads would follow it, and says so
// after the text when bytes follow it: one that is the last byte says
// nothing. A regular file's size counts them, in whichever piece it stands,
// with every worker or one.
TEST(Program, TextModeReading) {
    temp_dir dir;
    const std::string input = dir.file("in.txt");
    const std::string head("a=1\r\nb\0c\rd", 10);
    const std::string decoded("a=1\r\nb\0c\r\nd", 11);
    std::string long_after, deep;
    while (long_after.size() < 600 * 1024) long_after += "after=ctrl-z\n";
    while (deep.size() < 3 * quenlo::read_size) deep += "x=%41&";
    const std::size_t deep_at = 2 * quenlo::read_size + 7;
    struct ctrl_z_case {
        std::string content;
        std::string out;
        std::string note;
    };
    const std::vector<ctrl_z_case> cases = {
        {head + "\x1A" + "after=ctrl-z\n", decoded, ctrl_z_note(10, 13)},
        {head + "\x1A" + long_after, decoded, ctrl_z_note(10, long_after.size())},
        {head + "\x1A" + "\x1A", decoded, ctrl_z_note(10, 1)},
        {head + "\x1A", decoded, ""},
        {deep.substr(0, deep_at) + "\x1A" + deep.substr(deep_at + 1), reference_decode(deep.substr(0, deep_at)),
         ctrl_z_note(deep_at, deep.size() - deep_at - 1)},
    };
    for (const auto& c : cases) {
        write_file(input, c.content);
        for (const bool one_processor : {false, true}) {
            run_options o;
            o.one_processor = one_processor;
            const auto r = run_quenlo({input}, o);
            EXPECT_EQ(r.status, 0);
            EXPECT_TRUE(r.out == c.out) << c.content.size() << " bytes";
            EXPECT_EQ(r.err, banner + c.note) << c.content.size() << " bytes, one processor: " << one_processor;
        }
    }
}

// Line ends reach the output exactly as decoded, in both modes: no CR is
// added before a decoded LF, and a CR LF never becomes CR CR LF.
TEST(Program, CrLfInputAndDecodedLineEndsPassUntranslated) {
    temp_dir dir;
    const std::string expected = "a=1\r\nb=\n|\r\n|\r\r\n\r\nc=x y\r\n";
    for (const std::string eol_in : {"\r\n", "\n"}) {
        write_file(dir.file("in.txt"), "a=1" + eol_in + "b=%0A|%0D%0A|%0D%0D%0A" + eol_in +
                                           "c=x+y" + eol_in);
        const auto console = run_quenlo({dir.file("in.txt")});
        EXPECT_EQ(console.status, 0);
        EXPECT_TRUE(console.out == expected) << "console mode, input line end size " << eol_in.size();
        const auto file = run_quenlo({dir.file("in.txt"), dir.file("out.txt")});
        EXPECT_EQ(file.status, 0);
        EXPECT_TRUE(read_file(dir.file("out.txt")) == expected) << "file mode";
    }
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

// A regular file of many pieces, decoded by more workers than there are
// processors, gives the reference decoder's text: whatever a piece boundary
// splits, up to a Ctrl-Z in a late piece, and with an escape left open at
// the end of a file that fills its last piece.
TEST(Program, ManyPiecesDecodedByManyWorkers) {
    temp_dir dir;
    constexpr std::size_t piece = quenlo::read_size;
    // 19 bytes, and a piece is 1 more than a multiple of 19: the boundaries
    // of pieces 1 to 19 fall at each of its bytes in turn.
    const std::string unit = "%82%A0+\r\nb%4%%41&\rx";
    std::string text;
    while (text.size() < 20 * piece + 12345) text += unit;
    std::string late_ctrl_z = text;
    late_ctrl_z[17 * piece + 100] = '\x1A';
    const std::string open_escape = text.substr(0, 12 * piece - 2) + "%4";
    struct pieces_case {
        std::string input;
        std::size_t decoded;  // how much of it the text covers
        unsigned processors;
    };
    const std::vector<pieces_case> cases = {
        {text, text.size(), 3},
        {text, text.size(), quenlo::max_workers},
        {late_ctrl_z, 17 * piece + 100, 5},
        {open_escape, open_escape.size(), quenlo::max_workers},
    };
    for (const auto& c : cases) {
        write_file(dir.file("in"), c.input);
        const int status = quenlo::detail::convert_form_file(dir.file("in").c_str(), dir.file("out").c_str(),
                                                             quenlo::output_mode::file, c.processors);
        EXPECT_EQ(status, 0);
        const std::string expected = reference_decode(std::string_view(c.input).substr(0, c.decoded));
        EXPECT_TRUE(read_file(dir.file("out")) == expected)
            << c.processors << " workers, " << c.input.size() << " bytes: "
            << read_file(dir.file("out")).size() << " bytes of text, " << expected.size() << " expected";
    }
}

// Input free of Ctrl-Z, split after any LF, decodes piece by piece to
// exactly the whole file's text: nothing waits across a line feed.
TEST(Program, SplitAfterAnyLineFeedDecodesAsTheWhole) {
    temp_dir dir;
    const std::string input = "a=%41%\nb=%4\nc=x\r\n\nd=%0A\r\r\ne=%%\n+\t&\n%e3%81%82\n\rlast%4";
    write_file(dir.file("whole"), input);
    const auto whole = run_quenlo({dir.file("whole")});
    ASSERT_EQ(whole.status, 0);
    for (std::size_t lf = input.find('\n'); lf != std::string::npos; lf = input.find('\n', lf + 1)) {
        write_file(dir.file("head"), input.substr(0, lf + 1));
        write_file(dir.file("tail"), input.substr(lf + 1));
        const auto head = run_quenlo({dir.file("head")});
        const auto tail = run_quenlo({dir.file("tail")});
        EXPECT_EQ(head.out + tail.out, whole.out) << "split after byte " << lf;
    }
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
        EXPECT_EQ(r2.err, banner + cannot_open_output(bad_output));
    }
}

TEST(Program, DirectoryAsInputIsAReadError) {
    temp_dir dir;
    write_file(dir.file("out"), "kept");
    const auto r = run_quenlo({dir.path, dir.file("out")});
    EXPECT_EQ(r.status, 1);
    expect_reason_message(r.err, "Can't read file [" + dir.path + "]", "Is a directory");
    EXPECT_EQ(read_file(dir.file("out")), "kept");
}

TEST(Program, ClosedStandardOutputIsAWriteError) {
    temp_dir dir;
    write_file(dir.file("in"), "a=1\n");
    run_options closed;
    closed.close_stdout = true;
    const auto r = run_quenlo({dir.file("in")}, closed);
    EXPECT_EQ(r.status, 1);
    expect_reason_message(r.err, "Can't write standard output", "Bad file descriptor");
}

TEST(Program, InputIsNeverItsOwnOutput) {
    temp_dir dir;
    const std::string input = dir.file("in.txt");
    const std::string original = "a=1&b=%41\n";
    write_file(input, original);
    std::filesystem::create_hard_link(fs_path(input), fs_path(dir.file("hard")));

    for (const auto& output : {input, dir.file("hard")}) {
        const auto r = run_quenlo({input, output});
        EXPECT_EQ(r.status, 1) << output;
        EXPECT_EQ(r.err, banner + same_file(output));
        EXPECT_EQ(read_file(input), original);
    }

    run_options append;
    append.stdout_path = input;
    append.stdout_append = true;
    const auto r = run_quenlo({input}, append);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, banner + same_file(input));
    EXPECT_EQ(read_file(input), original);

    // A different file with the same content is not the same file; devices never are.
    write_file(dir.file("copy"), original);
    for (const std::string& output : {dir.file("copy"), std::string(null_device)}) {
        const auto other = run_quenlo({input, output});
        EXPECT_EQ(other.status, 0) << output;
    }
}

// --help and --version alone are answered only while no file has that name;
// any other argument that starts with "-" is a file name.
TEST(Program, OptionLikeArgumentIsAPath) {
    temp_dir dir;
    write_file(dir.file("-v"), "a+b");
    struct argument_case {
        std::vector<std::string> args;
        std::string file;  // made first, under the first argument's name, when not empty
        int status;
        std::string out_start;
        std::string err;
    };
    const std::vector<argument_case> cases = {
        {{"-v"}, "", 0, "a b", banner},
        {{"--help"}, "", 0, "usage: quenlo input [output]" + eol + eol, banner},
        {{"--version"}, "", 0, "quenlo " QUENLO_VERSION + eol, banner},
        {{"--help"}, "h=%41", 0, "h=A", banner},
        {{"--version"}, "v=%42", 0, "v=B", banner},
        {{"--help", "out"}, "", 1, "", banner + cannot_open_input("--help")},
    };
    for (const auto& c : cases) {
        if (!c.file.empty()) write_file(dir.file(c.args[0]), c.file);
        const auto r = run_in(dir.path, c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << ", " << c.args.size() << " arguments";
        EXPECT_EQ(r.out.substr(0, c.out_start.size()), c.out_start) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        if (!c.file.empty()) std::filesystem::remove(fs_path(dir.file(c.args[0])));
    }
    EXPECT_FALSE(exists(dir.file("out")));
}

// --- POSIX only -----------------------------------------------------------

#ifndef _WIN32
// What comes out of `fd` until `want` bytes came or ten seconds pass.
std::string read_for(int fd, std::size_t want) {
    std::string got;
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

// quenlo /dev/stdin between two pipes: the test's ends, and the program.
struct piped_quenlo {
    int to = -1, from = -1;
    started_quenlo program;
};

piped_quenlo start_piped() {
    // The test's own ends must not stay open in the program.
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) return {};
    run_options o;
    o.stdin_fd = to_child[0];
    o.stdout_fd = from_child[1];
    o.timeout_seconds = 10;
    piped_quenlo p{to_child[1], from_child[0], start_quenlo({"/dev/stdin"}, o)};
    close(to_child[0]);
    close(from_child[1]);
    return p;
}
#endif

// Each line must come out while the input is still open: a live filter.
TEST(ProgramPosix, DecodedTextIsWrittenBeforeTheNextReadWaits) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no path for standard input (/dev/stdin)";
#else
    piped_quenlo p = start_piped();
    ASSERT_GE(p.to, 0);
    for (const std::string line : {"a=1&b=%41\n", "c=x+y\r"}) {
        ASSERT_EQ(write(p.to, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        const std::string expected = line[0] == 'a' ? "a=1\r\nb=A\r\n" : "c=x y\r\n";
        EXPECT_EQ(read_for(p.from, expected.size()), expected);
    }
    close(p.to);
    const auto r = wait_quenlo(p.program);
    close(p.from);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, banner);
#endif
}

// From a pipe, whose size no one knows, a Ctrl-Z is noted when bytes follow
// it: in the same read, or written later (the program waits for one more
// byte, or the end, once its text is out). A Ctrl-Z last in the pipe says
// nothing.
TEST(ProgramPosix, CtrlZFromAPipe) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no path for standard input (/dev/stdin)";
#else
    struct pipe_case {
        std::string first, later, note;
    };
    const std::vector<pipe_case> cases = {
        {"a=1\x1A", "", ""},
        {"a=1\x1A" "b=2", "", ctrl_z_note_uncounted(3)},
        {"a=1\x1A", "b=2", ctrl_z_note_uncounted(3)},
    };
    for (const auto& c : cases) {
        piped_quenlo p = start_piped();
        ASSERT_GE(p.to, 0);
        ASSERT_EQ(write(p.to, c.first.data(), c.first.size()), static_cast<ssize_t>(c.first.size()));
        EXPECT_EQ(read_for(p.from, 3), "a=1");  // the text is out before the rest is written
        if (!c.later.empty()) {
            ASSERT_EQ(write(p.to, c.later.data(), c.later.size()), static_cast<ssize_t>(c.later.size()));
        }
        close(p.to);
        const auto r = wait_quenlo(p.program);
        EXPECT_EQ(read_for(p.from, 1), "");
        close(p.from);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, banner + c.note) << c.first.size() << " bytes, then " << c.later.size();
    }
#endif
}

// --- Windows only ---------------------------------------------------------

// Names given in UTF-16 reach the file system intact, whatever the ANSI code
// page holds: Japanese with a 0x5C second byte in Shift_JIS (表), Korean, an emoji.
TEST(ProgramWindows, AnyFileNameOpens) {
#ifndef _WIN32
    GTEST_SKIP() << "tests UTF-16 file names, a Windows matter";
#else
    temp_dir dir;
    for (const std::string name : {"日本語フォーム表.txt", "한국어 ü 😀.txt"}) {
        write_file(dir.file(name), "a=%41+b&c\n");
        const auto console = run_in(dir.path, {name});
        EXPECT_EQ(console.status, 0) << name;
        EXPECT_EQ(console.err, banner) << name;
        EXPECT_EQ(console.out, "a=A b\r\nc\r\n") << name;

        const std::string output = "出力 " + name;
        const auto file = run_in(dir.path, {name, output});
        EXPECT_EQ(file.status, 0) << name;
        EXPECT_EQ(read_file(dir.file(output)), "a=A b\r\nc\r\n") << name;

        const auto same = run_in(dir.path, {name, name});
        EXPECT_EQ(same.status, 1) << name;
        EXPECT_EQ(read_file(dir.file(name)), "a=%41+b&c\n") << name;
    }
#endif
}

// On a Japanese system the messages show a path in Shift_JIS, like the rest
// of the Japanese message.
TEST(ProgramWindows, JapanesePathInMessagesIsShiftJis) {
#ifndef _WIN32
    GTEST_SKIP() << "tests the ANSI code page of Windows";
#else
    if (GetACP() != 932) GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 932";
    temp_dir dir;
    const std::string name = "日本語フォーム表.txt";
    const std::string sjis_name = "\x93\xFA\x96{\x8C\xEA\x83t\x83H\x81[\x83\x80\x95\\.txt";
    const auto missing = run_in(dir.path, {name});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, banner + cannot_open_input(sjis_name));

    write_file(dir.file(name), "a=1\n");
    const auto same = run_in(dir.path, {name, name});
    EXPECT_EQ(same.status, 1);
    EXPECT_EQ(same.err, banner + same_file(sjis_name));
#endif
}

}  // namespace
