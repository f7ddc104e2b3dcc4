// Where the text goes: standard output or the output file, opened, refused
// when it is the input, emptied, and closed.
#pragma once

#include "convert.h"
#include "fileio.h"

namespace quenlo::detail {

struct destination {
    io::file_handle handle{};
    const char* path = nullptr;  // the output file's; null for standard output
};

// Whether writing `b` can change what is read from `a`, or the reverse: one
// file under two names, a loop device and what it reads through, a disk and
// a file on its file system.
[[nodiscard]] bool same_file(const io::file_id& a, const io::file_id& b);

// Standard output (`console`), or the output file, opened, created when
// missing, refused when it is the input, then emptied. Returns 0, or 1
// after reporting (an output file then keeps its content, and is closed).
int open_destination(const char* input_path, const char* output_path, output_mode mode,
                     const io::file_id& in_id, destination& out);

// Closes an output file (standard output stays open); closing is where some
// file systems first report a full disk. Returns 0 or the error.
int close_destination(const destination& out);

}  // namespace quenlo::detail
