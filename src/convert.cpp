// The conversion, in order: open the input, read its first piece, plan the
// pass, open the destination, run the pass, report how it ended (a failure,
// or a Ctrl-Z that left bytes undecoded), close.
// Every failure is reported, and none touches the output before it is known
// that the input can be read and that every buffer and worker can be had.
// The steps live beside it: piece.cpp (one piece read, decoded, written),
// one_thread_pass.cpp, parallel_pass.cpp, destination.cpp, messages.cpp.
#include "convert.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "destination.h"
#include "messages.h"
#include "one_thread_pass.h"
#include "parallel_pass.h"

namespace quenlo {
namespace {

using namespace detail;

// The input's identity and first piece. The first read comes before the
// output is created or emptied, so an input that opens but cannot be read (a
// directory, a failing disk, /proc/self/mem) leaves the output as it was.
// Returns 0 or the error.
int probe(const pass_calls& calls, io::file_handle in, io::file_id& id, piece& first) {
    if (const int e = io::identify(in, id)) return e;
    read_piece(calls, in, first);
    if (first.error == 0 && id.kind == io::file_kind::directory)
        return EISDIR;  // a directory never has form data
    return first.error;
}

// Reports how a pass ended. Returns 0, or 1 after a failure.
int report_outcome(const outcome& o, const char* input_path, const destination& out) {
    switch (o.failed) {
    case outcome::failure::none:
        return 0;
    case outcome::failure::read:
        report_read_error(input_path, o.error);
        return 1;
    case outcome::failure::write:
        report_write_error(out.path, o.error);
        return 1;
    }
    return 1;
}

// Where the input stands: how a pass found it, and where its first byte was.
struct input {
    io::file_handle handle{};
    io::file_id id;
    std::uint64_t origin = 0;  // a regular file's size counts from its start
};

// After a Ctrl-Z that ended the input, says so when bytes follow it. A
// regular file's size counts them, so a Ctrl-Z as its last byte (as DOS-era
// editors wrote) says nothing. A pipe is asked for one byte more, now that
// all the text is out: that waits for its writer to write again or finish,
// and reading the rest just to count it could take for ever. A terminal is
// not waited for: only what came with the Ctrl-Z counts there.
void note_ctrl_z(const outcome& o, const input& in) {
    if (!o.ctrl_z) return;
    std::uint64_t size = 0;
    if (in.id.kind == io::file_kind::regular && io::file_size(in.handle, size) == 0) {
        const std::uint64_t end = in.origin + o.ctrl_z_at + 1;
        if (size > end) report_ctrl_z(o.ctrl_z_at, size - end, true);
        return;
    }
    if (o.read_after == 0) {
        if (io::is_terminal(in.handle)) return;
        unsigned char next = 0;
        std::size_t got = 0;
        if (io::read_some(in.handle, &next, 1, got) != 0 || got == 0) return;
    }
    report_ctrl_z(o.ctrl_z_at, 0, false);
}

// Closes the output, notes a Ctrl-Z that left bytes undecoded when all went
// well, then closes the input, after every read. Returns the exit status.
int close_files(const input& in, const destination& out, const outcome& o, int status) {
    const int closed_out = close_destination(out);
    if (closed_out != 0 && status == 0) {
        report_write_error(out.path, closed_out);
        status = 1;
    }
    if (status == 0) note_ctrl_z(o, in);
    const int closed = io::close_file(in.handle) == 0 ? 0 : -1;
    return status != 0 ? status : closed;
}

}  // namespace

int detail::convert_form_file(const char* input_path, const char* output_path, output_mode mode,
                              unsigned processors) {
    // Every buffer is had before the output is touched; the first piece's
    // serves the one-thread pass too.
    std::array<piece_buffer, max_buffers> buffers;
    if (!make_piece_buffer(buffers[0], false)) return report_no_memory(input_path);
    io::file_handle in{};
    if (io::open_input(input_path, in) != 0) {
        report_cannot_open_input(input_path);
        return 1;
    }
    const pass_calls calls;
    io::file_id in_id;
    std::uint64_t origin = 0;
    static_cast<void>(io::position(in, origin));  // a pipe has no position, nor needs one
    piece first{buffers[0].in + lead_size};
    if (const int e = probe(calls, in, in_id, first)) {
        report_read_error(input_path, e);
        static_cast<void>(io::close_file(in));
        return 1;
    }
    // A regular file whose first read came short holds no more (one that
    // grows meanwhile has the pages for the rest as it comes).
    const bool ends_here = first.at_end || (in_id.kind == io::file_kind::regular && first.got < read_size);
    if (!take_first_pages(buffers[0], first, ends_here)) {
        static_cast<void>(io::close_file(in));
        return report_no_memory(input_path);
    }
    pass_plan plan = plan_parallel_pass(in, in_id, first, processors, buffers);
    worker_crew crew;
    outcome o;
    if (plan.workers > 1 && !start_workers(plan, crew, buffers)) plan.workers = 1;

    // The text goes out through the system's file cache, which a memory
    // limit counts too: memory for the first piece's text is had now and
    // given back once the output is open, so that a limit too tight for it
    // stops the program while the output is as it was.
    const std::size_t cache_room = decode_bound(first.got);
    std::unique_ptr<unsigned char[], piece_buffer::release> for_the_cache(
        static_cast<unsigned char*>(std::malloc(cache_room)));
    if (for_the_cache != nullptr) static_cast<void>(io::take_pages(for_the_cache.get(), cache_room));

    destination out;
    if (open_destination(input_path, output_path, mode, in_id, out) != 0) {
        if (plan.workers > 1) finish_workers(plan, crew, buffers, first, false, o);
        static_cast<void>(io::close_file(in));
        return 1;
    }
    for_the_cache.reset();
    plan.out = out.handle;  // read by the workers only once the gate opens
    if (plan.workers > 1)
        finish_workers(plan, crew, buffers, first, true, o);
    else
        o = one_thread_pass(calls, in, first, buffers[0], out.handle);
    return close_files({in, in_id, origin}, out, o, report_outcome(o, input_path, out));
}

int convert_form_file(const char* input_path, const char* output_path, output_mode mode) {
    return detail::convert_form_file(input_path, output_path, mode, io::usable_processors());
}

}  // namespace quenlo
