// The ordered parallel pass: a regular file's pieces read and decoded by
// several workers at once, their text written in order. What a test needs to
// drive it is here: plan it, start the workers, then let them go (or send
// them home).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

#include "piece.h"

namespace quenlo::detail {

// Two text buffers per worker (buffers[w] and buffers[w + workers]): one
// piece's text can wait for its turn while the worker decodes the next. A
// worker reads every piece into the input part of its own buffer
// (buffers[w]); the others have a text part alone.
inline constexpr unsigned buffers_per_worker = 2;
inline constexpr std::size_t max_buffers = buffers_per_worker * std::size_t{max_workers};

// What every worker reads from; it never changes while they run.
struct pass_plan {
    io::file_handle in{};
    io::file_handle out{};
    std::uint64_t origin = 0;  // where piece 0 starts in the input
    unsigned workers = 1;
    unsigned home = 0;    // the usable processor the first worker runs on
    unsigned usable = 1;  // how many processors are usable
    pass_calls calls;
    unsigned threads_that_start = max_workers;  // fewer only in tests: a thread that cannot start
};

// A piece decoded, with its text, waiting for its turn to go out.
struct parked_piece {
    piece p;
    std::uint64_t k = 0;         // which piece it is
    std::size_t room = 0;        // the buffer its text is in
    unsigned char* text = nullptr;
    std::size_t n = 0;
    decode_state before{};  // what its lead left, which the text was decoded from
    decode_state after{};   // what the piece leaves for the next one
    // Its first bytes (p.got of them at most), kept for decoding them again:
    // the worker's input part holds its next piece by the time this one is written.
    std::array<unsigned char, lead_size> head{};
    bool parked = false;
};

// What the workers share, changed only under `lock`; `written` and `over`
// may also be looked at without it.
struct pass_progress {
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<std::uint64_t> taken = 1;    // pieces taken by a worker (piece 0 by the first)
    std::atomic<std::uint64_t> written = 0;  // pieces whose text went out: the next one has the turn
    bool started = false;                    // every worker runs and the output is open: reading may begin
    std::atomic<bool> over = false;  // the input ended, or a failure ended the pass: nothing more goes out
    outcome result;                  // how the pass ended
    std::uint64_t read_to = 0;       // where the one-thread pass would have left the input
    decode_state carried{};          // what the pieces written so far leave for the next
    std::array<parked_piece, max_buffers> parked;  // each where its text buffer is
};

// The worker threads and what they share.
struct worker_crew {
    pass_progress progress;
    std::array<std::thread, max_workers> threads;
    unsigned running = 1;  // this thread is worker 0
};

// Plans the pass for an input whose first piece, `first`, is read into
// buffers[0]: how many workers (one per usable processor, at most
// max_workers, and only for a regular file that fills whole reads), where
// piece 0 starts, and the other buffers, allocated and touched (an input
// part for each worker, a text part for each buffer). One worker
// when memory for the buffers runs short, or the input is not for it.
pass_plan plan_parallel_pass(io::file_handle in, const io::file_id& id, const piece& first,
                             unsigned processors, std::span<piece_buffer> buffers);

// Starts workers 1 to plan.workers - 1, which wait at the gate; called before
// the output is touched, so that a thread that cannot start, or a memory
// limit met by starting one, leaves the output as it was. Returns whether
// they all started; when one could not, those that did have been sent home
// and joined, having read nothing.
bool start_workers(const pass_plan& plan, worker_crew& crew, std::span<piece_buffer> buffers);

// Opens the gate and runs worker 0 on this thread (`go`), or sends the
// workers home having read nothing (`!go`); then joins them all. After `go`,
// `result` says how the pass ended.
void finish_workers(const pass_plan& plan, worker_crew& crew, std::span<piece_buffer> buffers,
                    const piece& first, bool go, outcome& result);

}  // namespace quenlo::detail
