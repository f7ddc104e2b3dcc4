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

bool same_file(const io::file_id& a, const io::file_id& b) {
    return a.regular && b.regular && a.volume == b.volume && a.index == b.index;
}

// Where decoded text goes and how to name it in a message.
struct destination {
    io::file_handle handle;
    std::string name;  // "file [PATH]" or "standard output"
};

// Reads, decodes and writes until the end of the input. Returns 0, or 1 after
// reporting a failure.
int pump(io::file_handle in, const char* input_path, const destination& out) {
    const auto in_buffer = std::make_unique_for_overwrite<unsigned char[]>(read_size);
    const auto out_buffer = std::make_unique_for_overwrite<unsigned char[]>(decode_bound(read_size));
    decode_state state;
    bool at_end = false;
    while (!at_end) {
        std::size_t got = 0;
        if (const int e = io::read_some(in, in_buffer.get(), read_size, got)) {
            report(with_reason("Can't read file [" + io::display_path(input_path) + "]", e));
            return 1;
        }
        at_end = got == 0;
        if (const void* z = std::memchr(in_buffer.get(), end_of_text, got)) {
            got = static_cast<std::size_t>(static_cast<const unsigned char*>(z) - in_buffer.get());
            at_end = true;
        }
        std::size_t n = decode_form_chunk(state, {in_buffer.get(), got}, out_buffer.get());
        if (at_end) n += decode_form_finish(state, out_buffer.get() + n);
        // Written before the next read waits, so a pipe sees each line as it comes.
        if (const int e = io::write_all(out.handle, out_buffer.get(), n)) {
            report(with_reason("Can't write " + out.name, e));
            return 1;
        }
    }
    return 0;
}

}  // namespace

int convert_form_file(const char* input_path, const char* output_path, output_mode mode) {
    io::file_handle in{};
    if (io::open_input(input_path, in) != 0) {
        report(std::string(cannot_open_head) + io::display_path(input_path) +
               std::string(cannot_open_tail));
        return 1;
    }
    io::file_id in_id;
    // Not checked: a handle that cannot be identified keeps an unknown
    // identity, neither a directory nor a regular file, and goes through the
    // checks below as a device would; reading it reports any real fault.
    static_cast<void>(io::identify(in, in_id));
    if (in_id.directory) {
        // Reported before the output is touched: a directory never has form data.
        std::size_t got = 0;
        unsigned char byte = 0;
        const int e = io::read_some(in, &byte, 1, got);
        report(with_reason("Can't read file [" + io::display_path(input_path) + "]", e ? e : EISDIR));
        static_cast<void>(io::close_file(in));  // the run has failed: nothing more to report
        return 1;
    }

    destination out{io::standard_output(), "standard output"};
    io::file_id out_id;
    if (mode == output_mode::file) {
        out.name = "file [" + io::display_path(output_path) + "]";
        if (io::open_output(output_path, out.handle) != 0) {
            report("Can't open file [" + io::display_path(output_path) + "]\n");
            static_cast<void>(io::close_file(in));  // the run has failed: nothing more to report
            return 1;
        }
    }
    // Not checked, as for the input: an unknown identity is never the input's.
    static_cast<void>(io::identify(out.handle, out_id));
    if (same_file(in_id, out_id)) {
        report("Input and output are the same file [" +
               io::display_path(mode == output_mode::file ? output_path : input_path) + "]\n");
        // The run has failed: a close error would add nothing to report.
        if (mode == output_mode::file) static_cast<void>(io::close_file(out.handle));
        static_cast<void>(io::close_file(in));
        return 1;
    }

    int status = 0;
    if (mode == output_mode::file) {
        if (const int e = io::truncate_output(out.handle)) {
            report(with_reason("Can't write " + out.name, e));
            status = 1;
        }
    }
    if (status == 0) status = pump(in, input_path, out);
    if (mode == output_mode::file) {
        // Closing is where some file systems first report a full disk.
        const int e = io::close_file(out.handle);
        if (e != 0 && status == 0) {
            report(with_reason("Can't write " + out.name, e));
            status = 1;
        }
    }
    const int closed = io::close_file(in) == 0 ? 0 : -1;
    return status != 0 ? status : closed;
}

}  // namespace quenlo
