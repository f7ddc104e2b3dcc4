// The C interface: what a C caller can get wrong is refused with its code and
// touches nothing; what it decodes is what the C++ interface decodes.
#include <quenlo/quenlo.h>

#include "support/decode_pieces.h"
#include "support/form_data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

quenlo_state state_of(std::vector<unsigned char> bytes) {
    quenlo_state s{};
    std::memcpy(s.internal, bytes.data(), bytes.size());
    return s;
}

// Each call is made on a state that carries an escape ("%4"), an output
// buffer of guard bytes and a count that is not 0, so that a call which
// wrongly went ahead would show.
TEST(CApi, MistakesAreRefusedAndChangeNothing) {
    using call_fn = std::function<int(quenlo_state*, unsigned char*, std::size_t*)>;
    const unsigned char in[] = {'1', '&', 'b'};
    struct mistake {
        const char* name;
        quenlo_state state;  // what *state holds before the call
        int expected;
        call_fn call;
    };
    const quenlo_state carrying = state_of({2, '4', 0});
    const std::vector<mistake> mistakes = {
        {"decode: no state", carrying, QUENLO_ERROR_NULL_STATE,
         [&](quenlo_state*, unsigned char* out, std::size_t* w) { return quenlo_decode(nullptr, in, 3, out, w); }},
        {"decode: no input", carrying, QUENLO_ERROR_NULL_BUFFER,
         [&](quenlo_state* s, unsigned char* out, std::size_t* w) { return quenlo_decode(s, nullptr, 3, out, w); }},
        {"decode: no output", carrying, QUENLO_ERROR_NULL_BUFFER,
         [&](quenlo_state* s, unsigned char*, std::size_t* w) { return quenlo_decode(s, in, 3, nullptr, w); }},
        {"decode: no count", carrying, QUENLO_ERROR_NULL_WRITTEN,
         [&](quenlo_state* s, unsigned char* out, std::size_t*) { return quenlo_decode(s, in, 3, out, nullptr); }},
        {"finish: no state", carrying, QUENLO_ERROR_NULL_STATE,
         [&](quenlo_state*, unsigned char* out, std::size_t* w) { return quenlo_finish(nullptr, out, w); }},
        {"finish: no output", carrying, QUENLO_ERROR_NULL_BUFFER,
         [&](quenlo_state* s, unsigned char*, std::size_t* w) { return quenlo_finish(s, nullptr, w); }},
        {"finish: no count", carrying, QUENLO_ERROR_NULL_WRITTEN,
         [&](quenlo_state* s, unsigned char* out, std::size_t*) { return quenlo_finish(s, out, nullptr); }},
        // States no call leaves: a state that was never zeroed.
        {"decode: pending length 3", state_of({3}), QUENLO_ERROR_BAD_STATE,
         [&](quenlo_state* s, unsigned char* out, std::size_t* w) { return quenlo_decode(s, in, 3, out, w); }},
        {"decode: \"%X\" with X not a hex digit", state_of({2, 'G'}), QUENLO_ERROR_BAD_STATE,
         [&](quenlo_state* s, unsigned char* out, std::size_t* w) { return quenlo_decode(s, in, 3, out, w); }},
        {"decode: after-CR flag 2", state_of({0, 0, 2}), QUENLO_ERROR_BAD_STATE,
         [&](quenlo_state* s, unsigned char* out, std::size_t* w) { return quenlo_decode(s, in, 3, out, w); }},
        {"finish: a byte set past those in use", state_of({0, 0, 0, 0, 0, 0, 0, 1}), QUENLO_ERROR_BAD_STATE,
         [&](quenlo_state* s, unsigned char* out, std::size_t* w) { return quenlo_finish(s, out, w); }},
        // Not a mistake: nothing to read and nothing to write.
        {"decode: no bytes, no buffers", carrying, QUENLO_OK,
         [&](quenlo_state* s, unsigned char*, std::size_t* w) { return quenlo_decode(s, nullptr, 0, nullptr, w); }},
    };
    constexpr unsigned char guard = 0xA5;
    for (const auto& m : mistakes) {
        quenlo_state state = m.state;
        std::vector<unsigned char> out(16, guard);
        std::size_t written = 99;
        EXPECT_EQ(m.call(&state, out.data(), &written), m.expected) << m.name;
        EXPECT_EQ(std::memcmp(&state, &m.state, sizeof state), 0) << m.name << ": state changed";
        EXPECT_EQ(out, std::vector<unsigned char>(16, guard)) << m.name << ": output written";
        if (std::string(m.name).find("no count") == std::string::npos) {
            EXPECT_EQ(written, 0u) << m.name;
        }
    }
}

// Random form data cut at random places (empty pieces too), through the C
// interface and through the C++ one: the state must carry an escape or a CR
// across the cut whole.
TEST(CApi, DecodesAsTheCppInterface) {
    quenlo_test::random_bytes rng{32};
    for (int round = 0; round < 300; ++round) {
        const std::string in = quenlo_test::random_form_data(rng, rng.between(0, 700));
        std::vector<std::size_t> cuts;
        for (std::size_t at = rng.between(0, 9); at < in.size(); at += rng.between(0, 70)) cuts.push_back(at);
        cuts.push_back(in.size());

        quenlo_state state = {};
        std::string text;
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            const std::vector<unsigned char> piece(in.begin() + static_cast<std::ptrdiff_t>(from),
                                                   in.begin() + static_cast<std::ptrdiff_t>(cut));
            std::vector<unsigned char> out(quenlo_decode_bound(piece.size()));
            std::size_t written = 0;
            ASSERT_EQ(quenlo_decode(&state, piece.data(), piece.size(), out.data(), &written), QUENLO_OK);
            ASSERT_LE(written, out.size());
            text.append(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written));
            from = cut;
        }
        unsigned char tail[2];
        std::size_t written = 0;
        ASSERT_EQ(quenlo_finish(&state, tail, &written), QUENLO_OK);
        text.append(tail, tail + written);
        const quenlo_state zero = {};
        EXPECT_EQ(std::memcmp(&state, &zero, sizeof state), 0) << "finish leaves a zeroed state";

        cuts.pop_back();
        const auto cpp = quenlo_test::decode_pieces({"", nullptr, quenlo::decode_form_chunk}, in, cuts);
        ASSERT_EQ(text, cpp.out) << "round " << round;
    }
}

TEST(CApi, BoundNeverWraps) {
    const std::size_t largest = (SIZE_MAX - 2) / 2;  // the last input whose bound fits
    const std::vector<std::pair<std::size_t, std::size_t>> cases = {
        {0, 2}, {1, 4}, {1000, 2002}, {largest, 2 * largest + 2}, {largest + 1, SIZE_MAX}, {SIZE_MAX, SIZE_MAX}};
    for (const auto& [n, bound] : cases) EXPECT_EQ(quenlo_decode_bound(n), bound) << n;
}

}  // namespace
