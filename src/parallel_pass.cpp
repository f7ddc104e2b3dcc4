// The ordered parallel pass.
//
// The workers take the pieces of a regular file in order, each the next one
// no worker has taken, and read each by a positional read from where the
// file stood when it was opened, so no worker waits for another to read or
// decode, and a worker that runs faster takes more. Each piece is read into
// its worker's own input part and decoded into one of that worker's two text
// buffers: the one it used last, still in its processor's caches, when that
// one's text has gone out, else the other. A text waits for its turn, an
// input part never does, and fresh memory is dear (on a virtual machine, the
// first touch of a page can cost microseconds, by the system and again by the
// program). Only the writing is in turn: piece k's text goes out right after
// piece k - 1's. A piece done before its turn is parked, and the worker that
// writes piece k - 1 writes a parked piece k too, so a worker waits only
// when both its text buffers hold text that has not gone out.
//
// Who owns what, and what orders it. Worker w reads each of its pieces into
// its own input part (buffers[w].in) and decodes it into one of its text
// buffers (buffers[w].out, buffers[w + workers].out), keeping the piece's
// first bytes, which is all of its input that is looked at again. A text
// buffer belongs to its worker while the worker decodes into it, to the
// progress record from when the piece is parked (in the buffer's slot) until
// its text went out, and to its worker again after that: before decoding into
// it, the worker sees `written` pass the piece it held. The output belongs to
// the worker whose piece has the turn (piece `written`): it writes with the
// lock released, then, under the lock, moves `written` on and takes the next
// piece if it is parked; parking and taking happen under the lock, so each
// piece is written once, by one worker, in order. The worker that ends the
// pass sets the result, under the lock; this thread reads it after joining
// them all. The input is read by all at once, at ranges that overlap only in
// the leads, and closed after the joins. `started` holds every read back until
// every worker runs and the output is open, so a thread that cannot start
// leaves the input and the output untouched for the one-thread pass. Whether a
// piece's lead was read as its predecessor read it is checked by the writer
// (write_in_turn), with `carried`, which only the writer of the turn touches.
#include "parallel_pass.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace quenlo::detail {
namespace {

constexpr std::uint64_t no_piece = ~std::uint64_t{0};

// The parked piece k; null when it is not parked.
parked_piece* parked_as(const pass_plan& plan, pass_progress& r, std::uint64_t k) {
    for (std::size_t b = 0; b < buffers_per_worker * std::size_t{plan.workers}; ++b)
        if (r.parked[b].parked && r.parked[b].k == k) return &r.parked[b];
    return nullptr;
}

// Waits until the workers may read; false when the pass is over instead.
bool may_read(pass_progress& r) {
    std::unique_lock hold(r.lock);
    r.changed.wait(hold, [&] { return r.started || r.over; });
    return !r.over;
}

// Waits until piece k's text went out; false when the pass is over first.
// It mostly comes within microseconds, sooner than a sleeping thread is woken
// (on a virtual machine, its processor too), so it is looked for a while
// before sleeping.
bool wait_until_written(pass_progress& r, std::uint64_t k) {
    for (int tries = 0; tries < 256; ++tries) {
        if (r.over) return false;
        if (r.written > k) return true;
        std::this_thread::yield();
    }
    std::unique_lock hold(r.lock);
    r.changed.wait(hold, [&] { return r.written > k || r.over; });
    return !r.over;
}

// Piece d's text as decoded from `state`, what the piece before it really
// left, instead of from d.before; `state` becomes what the piece leaves.
// Only its first bytes decode otherwise: after two bytes the state no longer
// depends on what came before them, so the rest of the text stands, and
// those bytes are decoded again from the copy kept of them.
std::size_t decode_again(decode_state& state, parked_piece& d) {
    const std::size_t m = std::min(d.p.got, d.head.size());
    unsigned char was[decode_bound(lead_size)], now[decode_bound(lead_size)];
    decode_state assumed = d.before;
    const std::size_t was_n = decode_form_chunk(assumed, {d.head.data(), m}, was);
    const std::size_t now_n = decode_form_chunk(state, {d.head.data(), m}, now);
    if (m < d.head.size()) {  // the head is the whole piece
        std::memcpy(d.text, now, now_n);
        return d.p.at_end ? now_n + decode_form_finish(state, d.text + now_n) : now_n;
    }
    std::memmove(d.text + now_n, d.text + was_n, d.n - was_n);
    std::memcpy(d.text, now, now_n);
    state = d.after;
    return d.n - was_n + now_n;
}

// Parks piece k when an earlier piece has yet to go out; otherwise writes it
// and every piece parked right after it, or ends the pass. Returns false
// when the pass is over.
//
// A piece's lead was read a second time, by another read than the previous
// piece's. Were the file written in between, the two reads differ, and the
// piece was decoded from a state the text before it never left: its text is
// then decoded again, from what the previous piece really left, so that the
// output is the decoding of the bytes read, in order, each once. (A lead cut
// short by a file that shrank is such a case: the previous piece's unfinished
// escape is written then.)
bool write_in_turn(const pass_plan& plan, pass_progress& r, std::uint64_t k, parked_piece d) {
    std::unique_lock hold(r.lock);
    if (r.over) return false;
    if (r.written != k) {
        d.parked = true;
        r.parked[d.room] = d;
        return true;
    }
    for (;;) {
        decode_state state = r.carried;
        hold.unlock();
        if (d.before != state) {
            d.n = decode_again(state, d);
            d.after = state;
        }
        outcome o;
        const bool goes_on = write_piece(plan.calls, d.p, d.text, d.n, plan.out, o);
        hold.lock();
        r.carried = d.after;
        if (goes_on) {
            r.written = ++k;
        } else {
            r.over = true;
            r.result = o;
            r.read_to = k * read_size + d.p.read;
        }
        r.changed.notify_all();  // a worker may be waiting for the buffer just written
        parked_piece* const next = r.over ? nullptr : parked_as(plan, r, k);
        if (next == nullptr) return !r.over;
        d = *next;
        next->parked = false;
    }
}

// Whether worker w, found on usable processor `at`, is on another worker's
// processor: started there, or woken there by the other. The two would share
// it for milliseconds while their own stood idle, so w goes back to its own.
// A worker the scheduler moved to a processor no worker has stays there.
bool on_anothers_processor(const pass_plan& plan, unsigned w, unsigned at) {
    if (plan.usable < 2) return false;
    const unsigned offset = (at + plan.usable - plan.home % plan.usable) % plan.usable;
    return offset != w % plan.usable && offset < plan.workers;
}

// Worker w: takes pieces, reads and decodes each, and hands it to be written
// in turn. Piece 0, read before the pass began, is in the first buffer: `p`,
// worker 0's first piece.
void run_worker(const pass_plan& plan, pass_progress& r, unsigned w, std::span<piece_buffer> buffers,
                piece p) {
    if (!may_read(r)) return;
    int was_on = -2;  // the processor w was on at its last piece (-1: the system does not say)
    static_assert(buffers_per_worker == 2);
    const std::size_t rooms[2] = {w, w + std::size_t{plan.workers}};  // its text buffers
    std::uint64_t held[2] = {no_piece, no_piece};  // the piece whose text each got last
    unsigned last = 0;  // the one it decoded into last
    for (std::uint64_t k = w == 0 ? 0 : r.taken++;; k = r.taken++) {
        // Only a worker that has moved asks where it is among the usable
        // processors: that takes a system call (1 µs here).
        if (const int on = io::processor_number(); on != was_on) {
            was_on = on;
            if (on_anothers_processor(plan, w, io::current_processor())) io::start_on_processor(plan.home + w);
        }
        decode_state state{};
        if (k != 0) {
            read_piece_at(plan.calls, plan.in, plan.origin + k * read_size, buffers[w], p, state);
            p.start = k * read_size;
        }
        // The text buffer used last, if its text went out; else the other,
        // once its text has. Written in this processor's caches a piece
        // before, the first is mostly still there: ASCII and Shift_JIS form
        // text took 3-6 % less time outside reads and writes than with
        // buffers taken in turn by whichever worker.
        unsigned b = last;
        if (held[b] != no_piece && r.written <= held[b]) {
            b ^= 1;
            if (held[b] != no_piece && !wait_until_written(r, held[b])) return;
        }
        held[b] = k;
        last = b;
        unsigned char* const text = buffers[rooms[b]].out;
        const decode_state before = state;
        const std::size_t n = decode_piece_to_ctrl_z(state, p, text);  // p ends at a Ctrl-Z
        parked_piece d{.p = p, .k = k, .room = rooms[b], .text = text, .n = n, .before = before, .after = state};
        std::memcpy(d.head.data(), p.data, std::min(p.got, d.head.size()));
        if (!write_in_turn(plan, r, k, d) || p.at_end || p.error != 0) return;
    }
}

// How many workers to run. A regular file that fills whole reads gets one
// per usable processor; pipes, terminals and short files get one, so that
// each read is written before the next one waits, and so does one processor.
unsigned worker_count(const io::file_id& id, const piece& first, unsigned processors) {
    if (id.kind != io::file_kind::regular || first.got != read_size || first.at_end) return 1;
    return std::min(processors, max_workers);
}

// The buffers but the first piece's. Returns how many workers have them: n,
// or 1 when memory runs short.
unsigned make_buffers(std::span<piece_buffer> buffers, unsigned n) {
    for (std::size_t i = 1; i < buffers_per_worker * std::size_t{n}; ++i) {
        if (!make_piece_buffer(buffers[i], true, i < n)) {  // an input part for each worker
            for (std::size_t v = 1; v <= i; ++v) buffers[v] = piece_buffer{};
            return 1;
        }
    }
    return n;
}

}  // namespace

pass_plan plan_parallel_pass(io::file_handle in, const io::file_id& id, const piece& first,
                             unsigned processors, std::span<piece_buffer> buffers) {
    pass_plan plan;
    plan.in = in;
    plan.workers = worker_count(id, first, processors);
    std::uint64_t after_first = 0;
    if (plan.workers < 2 || io::position(in, after_first) != 0 || after_first < read_size) {
        plan.workers = 1;
        return plan;
    }
    plan.origin = after_first - read_size;
    plan.workers = make_buffers(buffers, plan.workers);
    plan.home = io::current_processor();
    plan.usable = io::usable_processors();
    return plan;
}

bool start_workers(const pass_plan& plan, worker_crew& crew, std::span<piece_buffer> buffers) {
    try {
        for (; crew.running < plan.workers && crew.running < plan.threads_that_start; ++crew.running)
            crew.threads[crew.running] = std::thread(run_worker, std::cref(plan), std::ref(crew.progress),
                                                     crew.running, buffers, piece{});
    } catch (const std::exception&) {
        // Out of threads or memory: those already running are sent home.
    }
    if (crew.running == plan.workers) return true;
    outcome none;
    finish_workers(plan, crew, buffers, piece{}, false, none);
    return false;
}

void finish_workers(const pass_plan& plan, worker_crew& crew, std::span<piece_buffer> buffers,
                    const piece& first, bool go, outcome& result) {
    pass_progress& r = crew.progress;
    {
        const std::lock_guard hold(r.lock);
        r.started = go;
        r.over = !go;
    }
    r.changed.notify_all();
    if (go) run_worker(plan, r, 0, buffers, first);
    for (unsigned w = 1; w < crew.running; ++w) crew.threads[w].join();
    crew.running = 1;
    if (!go) return;
    result = r.result;
    // The input's own position is left where the one-thread pass leaves it.
    // It is this open file's alone on Linux and Windows, but on the BSDs and
    // macOS /dev/stdin shares the shell's, and a script may read on from it.
    static_cast<void>(io::set_position(plan.in, plan.origin + r.read_to));  // nothing reads it here
}

}  // namespace quenlo::detail
