// quenlo: decodes HTML form data (application/x-www-form-urlencoded) into
// plain text, one field per line.
#include <cstdio>

#include "convert.h"
#include "fileio.h"

int main(int argc, char* argv[]) {
    quenlo::io::guard_standard_handles();
    std::fputs("Quenlo V1.00 for Win32 console application\n"
               "Copyright (C) 2026 The quenlo developers\n",
               stderr);
    if (argc == 2) return quenlo::convert_form_file(argv[1], "", quenlo::output_mode::console);
    if (argc == 3) return quenlo::convert_form_file(argv[1], argv[2], quenlo::output_mode::file);
    std::fputs("\nusage: quenlo input [output]\n", stderr);
    return 1;
}
