// The one-thread pass: pipes, terminals, short files, one processor, and
// wherever the workers cannot be had.
#pragma once

#include "piece.h"

namespace quenlo::detail {

// Writes the text of `first`, the piece already read into `buffer`, then
// reads, decodes and writes the rest, piece after piece. Each piece is
// written before the next read waits, so a pipe or a terminal sees each line
// as it comes.
outcome one_thread_pass(const pass_calls& calls, io::file_handle in, piece& first, piece_buffer& buffer,
                        io::file_handle out);

}  // namespace quenlo::detail
