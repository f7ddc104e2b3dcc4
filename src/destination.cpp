// The destination: opening, the same-file refusal, emptying, closing.
#include "destination.h"

#include <algorithm>

#include "messages.h"

namespace quenlo::detail {
namespace {

// Refuses an output that is the input; `shown` names it in the message. An
// output that cannot be identified might be the input: an output file is
// then left alone, and standard output left to fail on writing.
// Returns 0, or 1 after reporting.
int refuse_same_file(const io::file_id& in_id, const destination& out, const char* shown) {
    io::file_id out_id;
    if (const int e = io::identify(out.handle, out_id)) {
        if (out.path == nullptr) return 0;
        report_write_error(out.path, e);
        return 1;
    }
    if (!same_file(in_id, out_id)) return 0;
    report_same_file(shown);
    return 1;
}

}  // namespace

// Only files whose reading and writing share one store can be "the same":
// regular files, FIFOs and block devices. A character device (a terminal,
// /dev/null) reads and writes separate streams. A loop device shares its
// store with the file behind it and with every loop device over either, at
// any depth; a disk holds every file on its file system, so writing either
// overwrites what the other reads.
bool same_file(const io::file_id& a, const io::file_id& b) {
    // A block device is among its own same_bytes wherever the system has them.
    const bool shared_store = a.kind == io::file_kind::regular || a.kind == io::file_kind::fifo;
    if (shared_store && a.kind == b.kind && a.volume == b.volume && a.index == b.index) return true;
    auto among = [](const io::file_id::store& s, const auto& list) {
        return s != io::file_id::store{} && std::find(list.begin(), list.end(), s) != list.end();
    };
    for (const auto& s : a.same_bytes)
        if (among(s, b.same_bytes) || among(s, b.holders)) return true;
    for (const auto& s : b.same_bytes)
        if (among(s, a.holders)) return true;
    return false;
}

int open_destination(const char* input_path, const char* output_path, output_mode mode,
                     const io::file_id& in_id, destination& out) {
    if (mode == output_mode::console) {
        out = {io::standard_output(), nullptr};
        return refuse_same_file(in_id, out, input_path);
    }
    out = {{}, output_path};
    if (io::open_output(output_path, out.handle) != 0) {
        report_cannot_open_output(output_path);
        return 1;
    }
    int status = refuse_same_file(in_id, out, output_path);
    if (status == 0) {
        if (const int e = io::truncate_output(out.handle)) {
            report_write_error(out.path, e);
            status = 1;
        }
    }
    if (status != 0) static_cast<void>(io::close_file(out.handle));  // already failed: its own error adds nothing
    return status;
}

int close_destination(const destination& out) { return out.path == nullptr ? 0 : io::close_file(out.handle); }

}  // namespace quenlo::detail
