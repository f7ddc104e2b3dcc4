// One piece: its buffers, its reading, decoding and writing.
#include "piece.h"

#include "kernels/kernel.h"

#include <cstdlib>
#include <cstring>

namespace quenlo::detail {
namespace {

unsigned char* line_aligned(unsigned char* p, std::size_t before) {
    const auto at = reinterpret_cast<std::uintptr_t>(p) + before;
    return p + (line_size - at % line_size) % line_size;
}

// A Ctrl-Z (text-mode reading's end of text) ends the input where it stands.
void end_at_ctrl_z(piece& p) {
    if (const void* z = std::memchr(p.data, ctrl_z, p.got)) {
        p.got = static_cast<std::size_t>(static_cast<const unsigned char*>(z) - p.data);
        p.at_end = true;
        p.error = 0;  // what failed to read came after the end
    }
}

}  // namespace

constexpr std::size_t in_bytes = lead_size + read_size + line_size;
constexpr std::size_t out_bytes = decode_bound(read_size) + line_size;

bool make_piece_buffer(piece_buffer& b, bool take, bool input) {
    b.in_store.reset(input ? static_cast<unsigned char*>(std::malloc(in_bytes)) : nullptr);
    b.out_store.reset(static_cast<unsigned char*>(std::malloc(out_bytes)));
    if ((input && b.in_store == nullptr) || b.out_store == nullptr ||
        (input && !io::take_pages(b.in_store.get(), in_bytes)) ||
        (take && !io::take_pages(b.out_store.get(), out_bytes)))
        return false;
    b.in = input ? line_aligned(b.in_store.get(), lead_size) : nullptr;
    b.out = line_aligned(b.out_store.get(), 0);
    return true;
}

bool take_first_pages(const piece_buffer& b, const piece& first, bool ends_here) {
    if (ends_here) return io::take_pages(b.out, decode_bound(first.got));
    return io::take_pages(b.out_store.get(), out_bytes);
}

void read_piece(const pass_calls& calls, io::file_handle in, piece& p, bool ctrl_z_later) {
    p.start += p.read;
    p.read = 0;
    p.error = calls.read_some(in, p.data, read_size, p.got);
    if (p.error != 0) {
        p.got = 0;
        return;
    }
    p.read = p.got;
    p.at_end = p.got == 0;
    if (!ctrl_z_later) end_at_ctrl_z(p);
}

// The lead decides the state only if the file did not change between this
// read and the previous piece's; the parallel pass's writer checks that.
void read_piece_at(const pass_calls& calls, io::file_handle in, std::uint64_t offset, piece_buffer& b,
                   piece& p, decode_state& state) {
    constexpr std::size_t want = lead_size + read_size;
    std::size_t have = 0;
    int error = 0;
    while (have < want) {
        std::size_t got = 0;
        error = calls.read_at(in, offset - lead_size + have, b.in + have, want - have, got);
        if (error != 0 || got == 0) break;
        have += got;
    }
    p = piece{b.in + lead_size, have > lead_size ? have - lead_size : 0, 0, false, error};
    p.read = p.got;
    p.at_end = error == 0 && have < want;
    state = have >= lead_size ? decode_state_after({b.in, lead_size}) : decode_state{};
}

std::size_t decode_piece(decode_state& state, const piece& p, unsigned char* text) {
    std::size_t n = decode_form_chunk(state, {p.data, p.got}, text);
    if (p.at_end) n += decode_form_finish(state, text + n);
    return n;
}

// The kernel says whether the piece held a Ctrl-Z as it decodes it, which
// costs less than a memchr over the piece first (a second pass over 256 KiB:
// about 2 us here, a tenth of decoding it); a piece that held one, which is
// rare, is decoded again up to it.
std::size_t decode_piece_to_ctrl_z(decode_state& state, piece& p, unsigned char* text) {
    const decode_state before = state;
    bool ctrl_z_seen = false;
    static const watching_kernel_fn decode_watching = chosen_kernel().run_watching;
    std::size_t n = decode_watching(state, {p.data, p.got}, text, ctrl_z_seen);
    if (ctrl_z_seen) {
        end_at_ctrl_z(p);
        state = before;
        n = decode_form_chunk(state, {p.data, p.got}, text);
    }
    if (p.at_end) n += decode_form_finish(state, text + n);
    return n;
}

bool write_piece(const pass_calls& calls, const piece& p, const unsigned char* text, std::size_t n,
                 io::file_handle out, outcome& o) {
    if (const int e = calls.write_all(out, text, n)) {
        o = {outcome::failure::write, e};
        return false;
    }
    if (p.error != 0) {
        o = {outcome::failure::read, p.error};
        return false;
    }
    // Only a Ctrl-Z leaves bytes read that are not decoded.
    if (p.read > p.got) o = {outcome::failure::none, 0, true, p.start + p.got, p.read - p.got - 1};
    return !p.at_end;
}

}  // namespace quenlo::detail
