// One conversion pass: input file in, decoded text out.
#pragma once

#include <cstddef>

namespace quenlo {

// Bytes asked for per read. Large reads keep the system-call count low; the
// buffers stay well under a few MiB whatever the input's size.
inline constexpr std::size_t read_size = 256 * 1024;

// A regular file is decoded by one worker per usable processor, at most this
// many: each holds two pieces and their text, about 1.5 MiB, and past a
// handful the copy out of the page cache and the one output limit the speed
// anyway.
inline constexpr unsigned max_workers = 8;

enum class output_mode : unsigned char {
    console = 1,  // decoded text to standard output
    file = 2,     // decoded text to the named output file
};

// Decodes the file at `input_path` to standard output (`console`) or to the
// file at `output_path` (`file`; created, or truncated once it is known not
// to be the input). Every failure is reported on standard error.
// Returns the exit status: 0; -1 when closing the input failed; 1 after any
// other failure.
int convert_form_file(const char* input_path, const char* output_path, output_mode mode);

namespace detail {
// convert_form_file as if `processors` processors were usable: how the tests
// run more workers than the machine has processors.
int convert_form_file(const char* input_path, const char* output_path, output_mode mode,
                      unsigned processors);
}  // namespace detail

}  // namespace quenlo
