// One conversion pass: opens, checks, decodes and writes, and reports every failure.
#include "convert.h"

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

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
// /dev/null) reads and writes separate streams. A loop device shares its
// store with the file behind it and with every other loop device over it.
bool same_file(const io::file_id& a, const io::file_id& b) {
    const bool shared_store = a.kind == io::file_kind::regular || a.kind == io::file_kind::fifo ||
                              a.kind == io::file_kind::block_device;
    if (shared_store && a.kind == b.kind && a.volume == b.volume && a.index == b.index) return true;
    auto store = [](const io::file_id& f) {
        return f.kind == io::file_kind::regular ? io::file_id::store{f.volume, f.index} : f.backing;
    };
    return store(a) != io::file_id::store{} && store(a) == store(b);
}

// Where decoded text goes and how to name it in a message.
struct destination {
    io::file_handle handle;
    std::string name;  // "file [PATH]" or "standard output"
};

void report_read_error(const char* path, int error) {
    report(with_reason("Can't read file [" + io::display_path(path) + "]", error));
}

// One read's worth of the input.
struct piece {
    unsigned char* buffer;  // read_size bytes
    std::size_t got = 0;
    bool at_end = false;
    int error = 0;  // the read failed: nothing of it counts
};

// Reads the next piece; the input ends at its end or at a Ctrl-Z.
void read_piece(io::file_handle in, piece& p) {
    p.error = io::read_some(in, p.buffer, read_size, p.got);
    if (p.error != 0) return;
    p.at_end = p.got == 0;
    if (const void* z = std::memchr(p.buffer, end_of_text, p.got)) {
        p.got = static_cast<std::size_t>(static_cast<const unsigned char*>(z) - p.buffer);
        p.at_end = true;
    }
}

// The input, its name for messages, and the room decoding needs.
struct source {
    io::file_handle handle;
    const char* path;
    unsigned char* out_buffer;  // decode_bound(read_size) bytes
    decode_state state{};
};

// Decodes and writes one piece, or reports why it could not. Returns 0, or 1
// after reporting a failure.
int pass_on(source& in, const piece& p, const destination& out) {
    if (p.error != 0) {
        report_read_error(in.path, p.error);
        return 1;
    }
    std::size_t n = decode_form_chunk(in.state, {p.buffer, p.got}, in.out_buffer);
    if (p.at_end) n += decode_form_finish(in.state, in.out_buffer + n);
    if (const int e = io::write_all(out.handle, in.out_buffer, n)) {
        report(with_reason("Can't write " + out.name, e));
        return 1;
    }
    return 0;
}

// Passes on the piece already read, then reads and passes on the rest. Each
// piece is written before the next read waits, so a pipe or a terminal sees
// each line as it comes.
int pump(source& in, piece& p, const destination& out) {
    for (;;) {
        if (const int status = pass_on(in, p, out); status != 0 || p.at_end) return status;
        read_piece(in.handle, p);
    }
}

// Reading ahead: a second thread reads piece k + 1 into one buffer while
// piece k in the other is decoded and written, in order, on this one.
constexpr std::size_t pieces_in_flight = 2;

// What the two threads share, guarded by `lock`.
struct relay {
    std::mutex lock;
    std::condition_variable changed;
    std::size_t read = 1;    // pieces read; the first was read before the thread started
    std::size_t passed = 0;  // pieces decoded and written, their buffers free again
    bool stop = false;       // a failure ended the pass: read no more
};

void read_pieces_ahead(io::file_handle in, std::span<piece, pieces_in_flight> ring, relay& r) {
    for (std::size_t k = 1;; ++k) {
        {
            std::unique_lock hold(r.lock);
            r.changed.wait(hold, [&] { return r.stop || k - r.passed < ring.size(); });
            if (r.stop) return;
        }
        piece& p = ring[k % ring.size()];
        read_piece(in, p);
        {
            const std::lock_guard hold(r.lock);
            r.read = k + 1;
        }
        r.changed.notify_all();
        if (p.error != 0 || p.at_end) return;
    }
}

// pump, with the reads on a thread of their own. Falls back to pump when no
// thread can be started.
int pump_reading_ahead(source& in, piece& first, const destination& out) {
    const auto second = std::make_unique_for_overwrite<unsigned char[]>(read_size);
    std::array<piece, pieces_in_flight> ring{first, piece{second.get()}};
    relay r;
    std::thread reader;
    try {
        reader = std::thread(read_pieces_ahead, in.handle, std::span(ring), std::ref(r));
    } catch (const std::system_error&) {
        return pump(in, first, out);
    }
    int status = 0;
    for (std::size_t k = 0;; ++k) {
        {
            std::unique_lock hold(r.lock);
            r.changed.wait(hold, [&] { return r.read > k; });
        }
        const piece& p = ring[k % ring.size()];
        status = pass_on(in, p, out);
        if (status != 0 || p.at_end) break;
        {
            const std::lock_guard hold(r.lock);
            r.passed = k + 1;
        }
        r.changed.notify_all();
    }
    {
        // A write failure must not leave the reader waiting for a free buffer.
        const std::lock_guard hold(r.lock);
        r.stop = true;
    }
    r.changed.notify_all();
    reader.join();
    return status;
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
    const auto out_buffer = std::make_unique_for_overwrite<unsigned char[]>(decode_bound(read_size));
    source in{{}, input_path, out_buffer.get()};
    if (io::open_input(input_path, in.handle) != 0) {
        report(std::string(cannot_open_head) + io::display_path(input_path) +
               std::string(cannot_open_tail));
        return 1;
    }
    // The first read comes before the output is created or emptied, so an
    // input that opens but cannot be read (a directory, a failing disk,
    // /proc/self/mem) leaves the output as it was.
    io::file_id in_id;
    piece first{in_buffer.get()};
    first.error = io::identify(in.handle, in_id);
    if (first.error == 0) read_piece(in.handle, first);
    if (first.error == 0 && in_id.kind == io::file_kind::directory)
        first.error = EISDIR;  // a directory never has form data
    if (first.error != 0) {
        report_read_error(input_path, first.error);
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

    // Only a regular file that fills whole reads is worth a second thread:
    // from a pipe or a terminal each read is written before the next one
    // waits, and one processor would only take turns.
    const bool read_ahead = in_id.kind == io::file_kind::regular && first.got == read_size &&
                            !first.at_end && io::usable_processors() > 1;
    status = read_ahead ? pump_reading_ahead(in, first, out) : pump(in, first, out);
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
