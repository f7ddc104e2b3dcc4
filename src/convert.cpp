// One conversion pass: opens, checks, decodes and writes, and reports every failure.
#include "convert.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <string_view>
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

// Asks for no memory: there is none to be had.
int report_no_memory(const char* input_path) {
    std::fputs("Not enough memory to decode file [", stderr);
    io::report_path(input_path);
    std::fputs("]\n", stderr);
    return 1;
}

// --- buffers ------------------------------------------------------------------

// A piece is read with the bytes before it that decide the decoder's state
// at its start (decode.h's context rule), so that it decodes on its own.
constexpr std::size_t lead_size = context_size;

// Pieces and their text start on a cache line, so that the decoder's wide
// loads and stores never straddle two (the lead sits just before the piece).
constexpr std::size_t line_size = 64;

// Room for one piece and its decoded text.
struct room {
    // From malloc: the C++ library's nothrow new throws inside and, when even
    // the exception cannot be had (memory short from the start), aborts.
    struct release {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    std::unique_ptr<unsigned char[], release> in_store, out_store;
    unsigned char* in = nullptr;   // lead_size + read_size bytes: the lead, then the piece
    unsigned char* out = nullptr;  // decode_bound(read_size) bytes
};

// Two rooms per worker: one piece's text can wait for its turn while the
// worker decodes the next.
constexpr unsigned rooms_per_worker = 2;
constexpr std::size_t max_rooms = rooms_per_worker * std::size_t{max_workers};

unsigned char* line_aligned(unsigned char* p, std::size_t before) {
    const auto at = reinterpret_cast<std::uintptr_t>(p) + before;
    return p + (line_size - at % line_size) % line_size;
}

// Writes to every page of `p`. Zeroing fresh memory would not do: the
// compiler may turn malloc and memset into calloc, which writes nothing.
void touch_pages(unsigned char* p, std::size_t n) {
    constexpr std::size_t smallest_page = 4096;
    volatile unsigned char* v = p;
    for (std::size_t i = 0; i < n; i += smallest_page) v[i] = 0;
    v[n - 1] = 0;
}

// Allocates a room; false, and nothing thrown, when the memory cannot be had.
// Every page is written at once: a system that hands out pages on first use
// (or a memory limit that kills on it) must do so before the output is
// touched, not halfway through the text.
bool make_room(room& r) {
    constexpr std::size_t in_bytes = lead_size + read_size + line_size;
    constexpr std::size_t out_bytes = decode_bound(read_size) + line_size;
    r.in_store.reset(static_cast<unsigned char*>(std::malloc(in_bytes)));
    r.out_store.reset(static_cast<unsigned char*>(std::malloc(out_bytes)));
    if (r.in_store == nullptr || r.out_store == nullptr) return false;
    touch_pages(r.in_store.get(), in_bytes);
    touch_pages(r.out_store.get(), out_bytes);
    r.in = line_aligned(r.in_store.get(), lead_size);
    r.out = line_aligned(r.out_store.get(), 0);
    return true;
}

// --- reading --------------------------------------------------------------------

// One read's worth of the input.
struct piece {
    unsigned char* data = nullptr;  // in a room, after the lead
    std::size_t got = 0;
    std::size_t read = 0;  // bytes read: `got`, and a Ctrl-Z with what followed it
    bool at_end = false;   // no input follows this piece
    int error = 0;        // reading failed after `got` bytes
};

// A Ctrl-Z ends the input where it stands.
void end_at_ctrl_z(piece& p) {
    if (const void* z = std::memchr(p.data, end_of_text, p.got)) {
        p.got = static_cast<std::size_t>(static_cast<const unsigned char*>(z) - p.data);
        p.at_end = true;
        p.error = 0;  // what failed to read came after the end
    }
}

// Reads the next piece from where the input stands.
void read_piece(io::file_handle in, piece& p) {
    p.error = io::read_some(in, p.data, read_size, p.got);
    if (p.error != 0) {
        p.got = 0;
        return;
    }
    p.read = p.got;
    p.at_end = p.got == 0;
    end_at_ctrl_z(p);
}

// Reads the piece at `offset` with the two bytes before it into `r`, filling
// it unless the input ends first, and sets `state` to what decoding the bytes
// before it leaves: the lead decoded on its own leaves just that, as long as
// the file did not change between this read and the previous piece's (the
// writer checks that, see hand_on).
void read_piece_at(io::file_handle in, std::uint64_t offset, room& r, piece& p,
                   decode_state& state) {
    constexpr std::size_t want = lead_size + read_size;
    std::size_t have = 0;
    int error = 0;
    while (have < want) {
        std::size_t got = 0;
        error = io::read_at(in, offset - lead_size + have, r.in + have, want - have, got);
        if (error != 0 || got == 0) break;
        have += got;
    }
    p = piece{r.in + lead_size, have > lead_size ? have - lead_size : 0, 0, false, error};
    p.read = p.got;
    p.at_end = error == 0 && have < want;
    state = have >= lead_size ? decode_state_after({r.in, lead_size}) : decode_state{};
    end_at_ctrl_z(p);
}

// --- decoding and writing -------------------------------------------------------

// Where decoded text goes, and what a failure to write it says.
struct destination {
    io::file_handle handle{};
    bool named = false;      // an output file, not standard output
    std::string cant_write;  // "Can't write file [PATH]" or "Can't write standard output"
};

// How a pass ended; the caller reports it.
struct outcome {
    enum class failure : unsigned char { none, read, write };
    failure failed = failure::none;
    int error = 0;
};

// Decodes a piece, continuing from `state`, into `text`; returns the count.
std::size_t decode_piece(decode_state& state, const piece& p, unsigned char* text) {
    std::size_t n = decode_form_chunk(state, {p.data, p.got}, text);
    if (p.at_end) n += decode_form_finish(state, text + n);
    return n;
}

// Writes a piece's decoded text. Returns whether the input goes on; if not
// for a failure, says which in `o`. A read error shows after the text read
// before it.
bool pass_on(const piece& p, const unsigned char* text, std::size_t n, io::file_handle out,
             outcome& o) {
    if (const int e = io::write_all(out, text, n)) {
        o = {outcome::failure::write, e};
        return false;
    }
    if (p.error != 0) {
        o = {outcome::failure::read, p.error};
        return false;
    }
    return !p.at_end;
}

// The one-thread pass: passes on the piece already read, then reads and
// passes on the rest. Each piece is written before the next read waits, so a
// pipe or a terminal sees each line as it comes.
outcome pump(io::file_handle in, piece& p, unsigned char* text, io::file_handle out) {
    decode_state state{};
    outcome o;
    for (;;) {
        const std::size_t n = decode_piece(state, p, text);
        if (!pass_on(p, text, n, out, o)) return o;
        read_piece(in, p);
    }
}

// --- every processor decodes ------------------------------------------------------
//
// The workers take the pieces of a regular file in order, each the next one
// no worker has taken, and read each by a positional read from where the
// file stood when it was opened, so no worker waits for another to read or
// decode, and a worker that runs faster takes more. Piece k is read and
// decoded in room k % rooms (rooms_per_worker per worker). Only the writing
// is in turn: piece k's text goes out right after piece k - 1's. A piece
// done before its turn is parked, and the worker that writes piece k - 1
// writes a parked piece k too, so a worker waits only when the room for its
// piece still holds text that has not gone out.
//
// Who owns what, and what orders it. A room belongs to the worker that took
// its piece while that worker reads and decodes into it, to the relay from
// when the piece is parked until its text went out, and to the worker that
// takes piece k + rooms after that: that worker waits for `written` to pass
// k before reading into it. The output belongs to the worker whose piece has
// the turn (piece `written`): it writes with the lock released, then, under
// the lock, moves `written` on and takes the next piece if it is parked;
// parking and taking happen under the lock, so each piece is written once,
// by one worker, in order. The worker that ends the pass sets the result,
// under the lock; this thread reads it after joining them all. The input is
// read by all at once, at ranges that overlap only in the two-byte leads,
// and closed after the joins. `started` holds every read back until every
// worker runs and the output is open, so a thread that cannot start leaves
// the input and the output untouched for the one-thread pass. Whether a
// piece's lead was read as its predecessor read it is checked by the writer
// (hand_on), with `carried`, which only the writer of the turn touches.

// A piece decoded, with its text, waiting for its turn to go out.
struct decoded_piece {
    piece p;
    unsigned char* text = nullptr;
    std::size_t n = 0;
    decode_state before{};  // what its lead left, which the text was decoded from
    decode_state after{};   // what the piece leaves for the next one
    bool parked = false;
};

// What the workers share, changed only under `lock`; `written` and `over`
// may also be looked at without it.
struct relay {
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<std::uint64_t> taken = 1;    // pieces taken by a worker (piece 0 by the first)
    std::atomic<std::uint64_t> written = 0;  // pieces whose text went out: the next one has the turn
    bool started = false;                    // every worker runs: reading may begin
    std::atomic<bool> over = false;  // the input ended, or a failure ended the pass: nothing more goes out
    outcome result;                  // how the pass ended
    std::uint64_t read_to = 0;       // where the one-thread pass would have left the input: after the last piece's read
    decode_state carried{};          // what the pieces written so far leave for the next
    std::array<decoded_piece, max_rooms> parked;  // piece k at slot(f, k), as its room
};

// What every worker reads from; it never changes while they run.
struct shared_files {
    io::file_handle in{};
    io::file_handle out{};
    std::uint64_t origin = 0;  // where piece 0 starts in the input
    unsigned workers = 0;
    unsigned home = 0;    // the usable processor the first worker runs on
    unsigned usable = 1;  // how many processors are usable
};

std::uint64_t room_count(const shared_files& f) { return rooms_per_worker * std::uint64_t{f.workers}; }

// Piece k's room, and its place among the parked pieces.
std::size_t slot(const shared_files& f, std::uint64_t k) {
    return static_cast<std::size_t>(k % room_count(f));
}

// Waits until the workers may read; false when the pass is over instead.
bool may_read(relay& r) {
    std::unique_lock hold(r.lock);
    r.changed.wait(hold, [&] { return r.started || r.over; });
    return !r.over;
}

// Waits until piece k's text went out; false when the pass is over first.
// It mostly comes within microseconds, sooner than a sleeping thread is woken
// (on a virtual machine, its processor too), so it is looked for a while
// before sleeping.
bool wait_until_written(relay& r, std::uint64_t k) {
    for (int tries = 0; tries < 256; ++tries) {
        if (r.over) return false;
        if (r.written > k) return true;
        std::this_thread::yield();
    }
    std::unique_lock hold(r.lock);
    r.changed.wait(hold, [&] { return r.written > k || r.over; });
    return !r.over;
}

// Hands piece k on: parks it when an earlier piece has yet to go out;
// otherwise writes it and every piece parked right after it, or ends the
// pass. Returns false when the pass is over.
//
// A piece's lead was read a second time, by another read than the previous
// piece's. Were the file written in between, the two reads differ, and the
// piece was decoded from a state the text before it never left: its text is
// then decoded again, from what the previous piece really left, so that the
// output is the decoding of the bytes read, in order, each once. (A lead cut
// short by a file that shrank is such a case: the previous piece's unfinished
// escape is written then.)
bool hand_on(const shared_files& f, relay& r, std::uint64_t k, decoded_piece d) {
    std::unique_lock hold(r.lock);
    if (r.over) return false;
    if (r.written != k) {
        d.parked = true;
        r.parked[slot(f, k)] = d;
        return true;
    }
    for (;;) {
        decode_state state = r.carried;
        hold.unlock();
        if (d.before != state) {
            d.n = decode_piece(state, d.p, d.text);
            d.after = state;
        }
        outcome o;
        const bool goes_on = pass_on(d.p, d.text, d.n, f.out, o);
        hold.lock();
        r.carried = d.after;
        if (goes_on) {
            r.written = ++k;
        } else {
            r.over = true;
            r.result = o;
            r.read_to = k * read_size + d.p.read;
        }
        r.changed.notify_all();  // a worker may be waiting for the room just written
        decoded_piece& next = r.parked[slot(f, k)];
        if (r.over || !next.parked) return !r.over;
        d = next;
        next.parked = false;
    }
}

// Whether worker w, found on usable processor `at`, is on another worker's
// processor: started there, or woken there by the other. The two would share
// it for milliseconds while their own stood idle, so w goes back to its own.
// A worker the scheduler moved to a processor no worker has stays there.
bool on_anothers_processor(const shared_files& f, unsigned w, unsigned at) {
    if (f.usable < 2) return false;
    const unsigned offset = (at + f.usable - f.home % f.usable) % f.usable;
    return offset != w % f.usable && offset < f.workers;
}

// Worker w's share of the pass. Piece 0, read before the pass began, is in
// the first room: `p`, worker 0's first piece.
void decode_share(const shared_files& f, relay& r, unsigned w, std::span<room> rooms, piece p) {
    if (!may_read(r)) return;
    for (std::uint64_t k = w == 0 ? 0 : r.taken++;; k = r.taken++) {
        room& here = rooms[slot(f, k)];
        if (k >= room_count(f) && !wait_until_written(r, k - room_count(f))) return;
        if (on_anothers_processor(f, w, io::current_processor())) io::start_on_processor(f.home + w);
        decode_state state{};
        if (k != 0) read_piece_at(f.in, f.origin + k * read_size, here, p, state);
        const decode_state before = state;
        const std::size_t n = decode_piece(state, p, here.out);
        if (!hand_on(f, r, k, {p, here.out, n, before, state}) || p.at_end || p.error != 0) return;
    }
}

// The worker threads and what they share. They are started before the
// output is touched, so that a thread that cannot start, or a memory limit
// met by starting one, leaves the output as it was.
struct crew {
    relay r;
    std::array<std::thread, max_workers> threads;
    unsigned running = 1;  // this thread is worker 0
};

// Starts workers 1 to f.workers - 1, which wait at the gate. Returns whether
// they all started.
bool start_crew(const shared_files& f, crew& c, std::span<room> rooms) {
    try {
        for (; c.running < f.workers; ++c.running)
            c.threads[c.running] = std::thread(decode_share, std::cref(f), std::ref(c.r), c.running,
                                               rooms, piece{});
    } catch (const std::exception&) {
        // Out of threads or memory: those already running stop at the gate.
    }
    return c.running == f.workers;
}

// Opens the gate and runs worker 0's share on this thread (`go`), or sends
// the workers home having read nothing (`!go`); then joins them all.
void finish_crew(const shared_files& f, crew& c, std::span<room> rooms, const piece& first, bool go,
                 outcome& result) {
    {
        const std::lock_guard hold(c.r.lock);
        c.r.started = go;
        c.r.over = !go;
    }
    c.r.changed.notify_all();
    if (go) decode_share(f, c.r, 0, rooms, first);
    for (unsigned w = 1; w < c.running; ++w) c.threads[w].join();
    c.running = 1;
    if (!go) return;
    result = c.r.result;
    // The input's own position is left where the one-thread pass leaves it.
    // It is this open file's alone on Linux and Windows, but on the BSDs and
    // macOS /dev/stdin shares the shell's, and a script may read on from it.
    static_cast<void>(io::set_position(f.in, f.origin + c.r.read_to));  // nothing reads it here
}

// --- planning, checking, reporting ------------------------------------------------

// The input's identity and first piece. The first read comes before the
// output is created or emptied, so an input that opens but cannot be read (a
// directory, a failing disk, /proc/self/mem) leaves the output as it was.
// Returns 0 or the error.
int probe(io::file_handle in, io::file_id& id, piece& first) {
    if (const int e = io::identify(in, id)) return e;
    read_piece(in, first);
    if (first.error == 0 && id.kind == io::file_kind::directory)
        return EISDIR;  // a directory never has form data
    return first.error;
}

// How many workers to run. A regular file that fills whole reads gets one
// per usable processor; pipes, terminals and short files get one, so that
// each read is written before the next one waits, and so does one processor.
unsigned worker_count(const io::file_id& id, const piece& first, unsigned processors) {
    if (id.kind != io::file_kind::regular || first.got != read_size || first.at_end) return 1;
    return std::min(processors, max_workers);
}

// The workers' rooms, but for the first piece's, before the output is
// touched. Returns how many workers have room: n, or 1 when memory runs short.
unsigned make_rooms(std::span<room> rooms, unsigned n) {
    for (std::size_t i = 1; i < rooms_per_worker * std::size_t{n}; ++i) {
        if (!make_room(rooms[i])) {
            for (std::size_t v = 1; v <= i; ++v) rooms[v] = room{};
            return 1;
        }
    }
    return n;
}

// The workers for this input, planned before the output is touched: how
// many, where piece 0 starts, and their rooms.
shared_files plan_workers(io::file_handle in, const io::file_id& id, const piece& first,
                          unsigned processors, std::span<room> rooms) {
    shared_files f;
    f.in = in;
    f.workers = worker_count(id, first, processors);
    std::uint64_t after_first = 0;
    if (f.workers < 2 || io::position(in, after_first) != 0 || after_first < read_size) {
        f.workers = 1;
        return f;
    }
    f.origin = after_first - read_size;
    f.workers = make_rooms(rooms, f.workers);
    f.home = io::current_processor();
    f.usable = io::usable_processors();
    return f;
}

// Only files whose reading and writing share one store can be "the same":
// regular files, FIFOs and block devices. A character device (a terminal,
// /dev/null) reads and writes separate streams. A loop device shares its
// store with the file behind it and with every loop device over either, at
// any depth; a disk holds every file on its file system, so writing either
// overwrites what the other reads.
bool same_file(const io::file_id& a, const io::file_id& b) {
    const bool shared_store = a.kind == io::file_kind::regular || a.kind == io::file_kind::fifo ||
                              a.kind == io::file_kind::block_device;
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

// Refuses an output that is the input; `shown` names it in the message. An
// output that cannot be identified might be the input: an output file is
// then left alone, and standard output left to fail on writing.
// Returns 0, or 1 after reporting.
int refuse_same_file(const io::file_id& in_id, const destination& out, const char* shown) {
    io::file_id out_id;
    if (const int e = io::identify(out.handle, out_id)) {
        if (!out.named) return 0;
        report(with_reason(out.cant_write, e));
        return 1;
    }
    if (!same_file(in_id, out_id)) return 0;
    report("Input and output are the same file [" + io::display_path(shown) + "]\n");
    return 1;
}

// Standard output, or the output file: opened, created when missing, refused
// when it is the input, then emptied. Returns 0, or 1 after reporting (an
// output file then keeps its content).
int open_destination(const char* input_path, const char* output_path, output_mode mode,
                     const io::file_id& in_id, destination& out) {
    if (mode == output_mode::console) {
        out = {io::standard_output(), false, "Can't write standard output"};
        return refuse_same_file(in_id, out, input_path);
    }
    out = {{}, true, "Can't write file [" + io::display_path(output_path) + "]"};
    if (io::open_output(output_path, out.handle) != 0) {
        report("Can't open file [" + io::display_path(output_path) + "]\n");
        return 1;
    }
    int status = refuse_same_file(in_id, out, output_path);
    if (status == 0) {
        if (const int e = io::truncate_output(out.handle)) {
            report(with_reason(out.cant_write, e));
            status = 1;
        }
    }
    if (status != 0) static_cast<void>(io::close_file(out.handle));  // already failed: its own error adds nothing
    return status;
}

void report_read_error(const char* input_path, int error) {
    report(with_reason("Can't read file [" + io::display_path(input_path) + "]", error));
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
        report(with_reason(out.cant_write, o.error));
        return 1;
    }
    return 1;
}

// Closes the output, then the input, after every read. Closing is where some
// file systems first report a full disk. Returns the exit status.
int close_files(io::file_handle in, const destination& out, int status) {
    if (out.named) {
        const int closed = io::close_file(out.handle);
        if (closed != 0 && status == 0) {
            report(with_reason(out.cant_write, closed));
            status = 1;
        }
    }
    const int closed = io::close_file(in) == 0 ? 0 : -1;
    return status != 0 ? status : closed;
}

}  // namespace

int detail::convert_form_file(const char* input_path, const char* output_path, output_mode mode,
                              unsigned processors) {
    // Every buffer is had before the output is touched; worker 0's room
    // serves the one-thread pass too.
    std::array<room, max_rooms> rooms;
    if (!make_room(rooms[0])) return report_no_memory(input_path);
    io::file_handle in{};
    if (io::open_input(input_path, in) != 0) {
        report(std::string(cannot_open_head) + io::display_path(input_path) +
               std::string(cannot_open_tail));
        return 1;
    }
    io::file_id in_id;
    piece first{rooms[0].in + lead_size};
    if (const int e = probe(in, in_id, first)) {
        report_read_error(input_path, e);
        static_cast<void>(io::close_file(in));
        return 1;
    }
    shared_files f = plan_workers(in, in_id, first, processors, rooms);
    crew c;
    outcome o;
    if (f.workers > 1 && !start_crew(f, c, rooms)) {
        finish_crew(f, c, rooms, first, false, o);
        f.workers = 1;
    }

    // The text goes out through the system's file cache, which a memory
    // limit counts too: memory for its first pages is had now and given back
    // once the output is open, so that a limit too tight for them stops the
    // program while the output is as it was.
    constexpr std::size_t cache_room = read_size;
    std::unique_ptr<unsigned char[], room::release> for_the_cache(
        static_cast<unsigned char*>(std::malloc(cache_room)));
    if (for_the_cache != nullptr) touch_pages(for_the_cache.get(), cache_room);

    destination out;
    if (open_destination(input_path, output_path, mode, in_id, out) != 0) {
        if (f.workers > 1) finish_crew(f, c, rooms, first, false, o);
        static_cast<void>(io::close_file(in));
        return 1;
    }
    for_the_cache.reset();
    f.out = out.handle;  // read by the workers only once the gate opens
    if (f.workers > 1)
        finish_crew(f, c, rooms, first, true, o);
    else
        o = pump(in, first, rooms[0].out, out.handle);
    return close_files(in, out, report_outcome(o, input_path, out));
}

int convert_form_file(const char* input_path, const char* output_path, output_mode mode) {
    return detail::convert_form_file(input_path, output_path, mode, io::usable_processors());
}

}  // namespace quenlo
