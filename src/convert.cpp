// One conversion pass: opens, checks, decodes and writes, and reports every failure.
#include "convert.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "decode.h"
#include "fileio.h"

namespace quenlo {
namespace {

// Text-mode reading: a Ctrl-Z byte ends the input.
constexpr unsigned char end_of_text = 0x1A;

// "File [PATH] cannot be opened." in Japanese, as Shift_JIS bytes, with no line end.
constexpr std::string_view cannot_open_head = "\x83\x74\x83\x40\x83\x43\x83\x8B [";
constexpr std::string_view cannot_open_tail =
    "] \x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\x2E";

void report(const std::string& message) {
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fflush(stderr);
}

std::string with_reason(std::string message, int error) {
    return message + ": " + io::error_text(error) + "\n";
}

// Only files whose reading and writing share one store can be "the same":
// regular files, FIFOs and block devices. A character device (a terminal,
// /dev/null) reads and writes separate streams.
bool same_file(const io::file_id& a, const io::file_id& b) {
    const bool shared_store = a.kind == io::file_kind::regular || a.kind == io::file_kind::fifo ||
                              a.kind == io::file_kind::block_device;
    return shared_store && a.kind == b.kind && a.volume == b.volume && a.index == b.index;
}

// Where decoded text goes and how to name it in a message.
struct destination {
    io::file_handle handle;
    std::string name;  // "file [PATH]" or "standard output"
};

// The input and what the last read brought.
struct source {
    io::file_handle handle;
    const char* path;
    unsigned char* buffer;  // read_size bytes
    std::size_t got = 0;
    bool at_end = false;
};

void report_read_error(const source& in, int error) {
    report(with_reason("Can't read file [" + io::display_path(in.path) + "]", error));
}

// Reads the next piece; the input ends at its end or at a Ctrl-Z.
int read_piece(source& in) {
    if (const int e = io::read_some(in.handle, in.buffer, read_size, in.got)) return e;
    in.at_end = in.got == 0;
    if (const void* z = std::memchr(in.buffer, end_of_text, in.got)) {
        in.got = static_cast<std::size_t>(static_cast<const unsigned char*>(z) - in.buffer);
        in.at_end = true;
    }
    return 0;
}

// Decodes and writes the piece already read, then reads, decodes and writes
// until the end of the input. Returns 0, or 1 after reporting a failure.
int pump(source& in, const destination& out) {
    const auto out_buffer = std::make_unique_for_overwrite<unsigned char[]>(decode_bound(read_size));
    decode_state state;
    for (;;) {
        std::size_t n = decode_form_chunk(state, {in.buffer, in.got}, out_buffer.get());
        if (in.at_end) n += decode_form_finish(state, out_buffer.get() + n);
        // Written before the next read waits, so a pipe sees each line as it comes.
        if (const int e = io::write_all(out.handle, out_buffer.get(), n)) {
            report(with_reason("Can't write " + out.name, e));
            return 1;
        }
        if (in.at_end) return 0;
        if (const int e = read_piece(in)) {
            report_read_error(in, e);
            return 1;
        }
    }
}

// Opens the output file, refuses it when it is the input, then empties it.
// Returns 0, or 1 after reporting a failure (the output then keeps its content).
int open_destination(const char* output_path, const io::file_id& in_id, destination& out) {
    out.name = "file [" + io::display_path(output_path) + "]";
    if (io::open_output(output_path, out.handle) != 0) {
        report("Can't open file [" + io::display_path(output_path) + "]\n");
        return 1;
    }
    io::file_id out_id;
    if (const int e = io::identify(out.handle, out_id)) {
        // Not knowing what the output is, it might be the input: leave it alone.
        report(with_reason("Can't write " + out.name, e));
    } else if (same_file(in_id, out_id)) {
        report("Input and output are the same file [" + io::display_path(output_path) + "]\n");
    } else if (const int e2 = io::truncate_output(out.handle)) {
        report(with_reason("Can't write " + out.name, e2));
    } else {
        return 0;
    }
    static_cast<void>(io::close_file(out.handle));  // already failed: its own error adds nothing
    return 1;
}

}  // namespace

int convert_form_file(const char* input_path, const char* output_path, output_mode mode) {
    const auto in_buffer = std::make_unique_for_overwrite<unsigned char[]>(read_size);
    source in{{}, input_path, in_buffer.get()};
    if (io::open_input(input_path, in.handle) != 0) {
        report(std::string(cannot_open_head) + io::display_path(input_path) +
               std::string(cannot_open_tail));
        return 1;
    }
    // The first read comes before the output is created or emptied, so an
    // input that opens but cannot be read (a directory, a failing disk,
    // /proc/self/mem) leaves the output as it was.
    io::file_id in_id;
    int e = io::identify(in.handle, in_id);
    if (e == 0) e = read_piece(in);
    if (e == 0 && in_id.kind == io::file_kind::directory) e = EISDIR;  // a directory never has form data
    if (e != 0) {
        report_read_error(in, e);
        static_cast<void>(io::close_file(in.handle));
        return 1;
    }

    destination out{io::standard_output(), "standard output"};
    int status = 0;
    if (mode == output_mode::file) {
        status = open_destination(output_path, in_id, out);
    } else {
        io::file_id out_id;
        // A standard output that cannot be identified is left to fail on writing.
        if (io::identify(out.handle, out_id) == 0 && same_file(in_id, out_id)) {
            report("Input and output are the same file [" + io::display_path(input_path) + "]\n");
            status = 1;
        }
    }
    if (status != 0) {
        static_cast<void>(io::close_file(in.handle));
        return status;
    }

    status = pump(in, out);
    if (mode == output_mode::file) {
        // Closing is where some file systems first report a full disk.
        const int closed = io::close_file(out.handle);
        if (closed != 0 && status == 0) {
            report(with_reason("Can't write " + out.name, closed));
            status = 1;
        }
    }
    const int closed = io::close_file(in.handle) == 0 ? 0 : -1;
    return status != 0 ? status : closed;
}

}  // namespace quenlo
