// The conversion's messages.
#include "messages.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "fileio.h"

namespace quenlo::detail {
namespace {

// "File [PATH] cannot be opened." in Japanese, as Shift_JIS bytes.
constexpr std::string_view cannot_open_head = "\x83\x74\x83\x40\x83\x43\x83\x8B [";
constexpr std::string_view cannot_open_tail =
    "] \x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\x2E";
// The same text in UTF-8, for a terminal that shows it.
constexpr std::string_view cannot_open_head_utf8 = "\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB [";
constexpr std::string_view cannot_open_tail_utf8 =
    "] \xE3\x81\x8C\xE9\x96\x8B\xE3\x81\x91\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\x2E";

void report(const std::string& message) {
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fflush(stderr);
}

std::string with_reason(std::string message, int error) {
    return message + ": " + io::error_text(error) + "\n";
}

}  // namespace

// A person at a terminal reads it in the terminal's encoding, its line
// ended before the shell's prompt; files and pipes get the bytes that scripts
// have always read. The path goes to a UTF-8 terminal as given (on Windows
// the console takes it in UTF-16, whatever the code page).
void report_cannot_open_input(const char* input_path) {
    const std::string shift_jis =
        std::string(cannot_open_head) + io::display_path(input_path) + std::string(cannot_open_tail);
    switch (io::standard_error_terminal()) {
    case io::error_terminal::none:
        report(shift_jis);
        return;
    case io::error_terminal::utf8:
        if (io::show_on_terminal(std::string(cannot_open_head_utf8) + input_path +
                                 std::string(cannot_open_tail_utf8) + "\n"))
            return;
        [[fallthrough]];  // a terminal that refused it still gets the message
    case io::error_terminal::other:
        report(shift_jis + "\n");
        return;
    }
}

void report_cannot_open_output(const char* output_path) {
    report("Can't open file [" + io::display_path(output_path) + "]\n");
}

void report_read_error(const char* input_path, int error) {
    report(with_reason("Can't read file [" + io::display_path(input_path) + "]", error));
}

void report_write_error(const char* output_path, int error) {
    report(with_reason(output_path == nullptr ? std::string("Can't write standard output")
                                              : "Can't write file [" + io::display_path(output_path) + "]",
                       error));
}

void report_same_file(const char* shown_path) {
    report("Input and output are the same file [" + io::display_path(shown_path) + "]\n");
}

void report_ctrl_z(std::uint64_t offset, std::uint64_t after, bool counted) {
    std::string message = "Input ends at a Ctrl-Z byte at offset " + std::to_string(offset) + "; ";
    if (!counted)
        message += "what follows it was not decoded";
    else if (after == 1)
        message += "1 byte after it was not decoded";
    else
        message += std::to_string(after) + " bytes after it were not decoded";
    report(message + "\n");
}

int report_no_memory(const char* input_path) {
    std::fputs("Not enough memory to decode file [", stderr);
    io::report_path(input_path);
    std::fputs("]\n", stderr);
    return 1;
}

}  // namespace quenlo::detail
