// quenlo's entry point: the banner, the command line, one conversion.
// quenlo decodes HTML form data (application/x-www-form-urlencoded) into
// plain text, one field per line.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "convert.h"
#include "fileio.h"
#include "messages.h"

namespace {

constexpr std::string_view help =
    "usage: quenlo input [output]\n"
    "\n"
    "Decodes the HTML form data (application/x-www-form-urlencoded) in the file\n"
    "input into text, one field per line, each line break written as CR LF, to\n"
    "standard output, or into the file output, which is emptied only once input\n"
    "has been read from and checked. No character set is converted.\n"
    "\n"
    "There are no options: any other argument that starts with - is a file\n"
    "name, and so are --help and --version whenever a file has that name.\n"
#ifdef _WIN32
    "The full reference: quenlo-manual.txt, in the folder above bin.\n";
#else
    "The full reference: man quenlo.\n";
#endif

constexpr std::string_view version = "quenlo " QUENLO_VERSION "\n";

// Writes `text` to standard output with the system's line ends. Returns the
// exit status.
int answer(std::string_view text) {
    std::string lines;
    for (const char c : text) {
#ifdef _WIN32
        if (c == '\n') lines += '\r';
#endif
        lines += c;
    }
    if (const int e = quenlo::io::write_all(quenlo::io::standard_output(),
                                            reinterpret_cast<const unsigned char*>(lines.data()), lines.size())) {
        quenlo::detail::report_write_error(nullptr, e);
        return 1;
    }
    return 0;
}

// "--help" or "--version" alone asks the program, not a file, but only where
// no file has that name: an argument that starts with "-" stays a file name,
// so that any name is safe in scripts (xargs, parallel).
bool asks_the_program(const char* word) {
    return (std::strcmp(word, "--help") == 0 || std::strcmp(word, "--version") == 0) &&
           !quenlo::io::name_exists(word);
}

}  // namespace

int main(int argc, char* argv[]) {
    quenlo::io::guard_standard_handles();
    const quenlo::io::command_line args = quenlo::io::arguments(argc, argv);
    // Standard error stays a text stream: on Windows each "\n" goes out as
    // CR LF, the system's line end for messages.
    std::fputs("Quenlo V1.00 for Win32 console application\n"
               "Copyright (C) 2026 The quenlo developers\n",
               stderr);
    if (args.count == 2 && asks_the_program(args.values[1]))
        return answer(std::strcmp(args.values[1], "--help") == 0 ? help : version);
    if (args.count == 2)
        return quenlo::convert_form_file(args.values[1], "", quenlo::output_mode::console);
    if (args.count == 3)
        return quenlo::convert_form_file(args.values[1], args.values[2], quenlo::output_mode::file);
    std::fputs("\nusage: quenlo input [output]\n", stderr);
    return 1;
}
