// quenlo's entry point: the banner, the command line, one conversion.
// quenlo decodes HTML form data (application/x-www-form-urlencoded) into
// plain text, one field per line.
#include <cstdio>

#include "convert.h"
#include "fileio.h"

int main(int argc, char* argv[]) {
    quenlo::io::guard_standard_handles();
    const quenlo::io::command_line args = quenlo::io::arguments(argc, argv);
    // Standard error stays a text stream: on Windows each "\n" goes out as
    // CR LF, the system's line end for messages.
    std::fputs("Quenlo V1.00 for Win32 console application\n"
               "Copyright (C) 2026 The quenlo developers\n",
               stderr);
    if (args.count == 2)
        return quenlo::convert_form_file(args.values[1], "", quenlo::output_mode::console);
    if (args.count == 3)
        return quenlo::convert_form_file(args.values[1], args.values[2], quenlo::output_mode::file);
    std::fputs("\nusage: quenlo input [output]\n", stderr);
    return 1;
}
