// What the conversion says on standard error: every message it can give, in
// one place, each written at once. Paths are shown as io::display_path shows
// them.
#pragma once

namespace quenlo::detail {

// The Japanese "cannot be opened" message, in Shift_JIS, with no line end.
void report_cannot_open_input(const char* input_path);
void report_cannot_open_output(const char* output_path);
void report_read_error(const char* input_path, int error);
// "Can't write file [PATH]", or "Can't write standard output" when
// `output_path` is null, with the reason.
void report_write_error(const char* output_path, int error);
void report_same_file(const char* shown_path);
// Asks for no memory, there being none to be had. Returns 1, the status.
int report_no_memory(const char* input_path);

}  // namespace quenlo::detail
