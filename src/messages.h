// What the conversion says on standard error: every message it can give, in
// one place, each written at once. Paths are shown as io::display_path shows
// them.
#pragma once

#include <cstdint>

namespace quenlo::detail {

// The Japanese "cannot be opened" message: in Shift_JIS with no line end
// into a file or a pipe; on a terminal in its own encoding, line ended.
void report_cannot_open_input(const char* input_path);
void report_cannot_open_output(const char* output_path);
void report_read_error(const char* input_path, int error);
// "Can't write file [PATH]", or "Can't write standard output" when
// `output_path` is null, with the reason.
void report_write_error(const char* output_path, int error);
void report_same_file(const char* shown_path);
// The note after the text when a Ctrl-Z at `offset` ended the input before
// its end: `after` bytes followed it, or, with `counted` false, some did.
void report_ctrl_z(std::uint64_t offset, std::uint64_t after, bool counted);
// Asks for no memory, there being none to be had. Returns 1, the status.
int report_no_memory(const char* input_path);

}  // namespace quenlo::detail
