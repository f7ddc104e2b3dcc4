// The exhaustive test: every %XY pair, and every unfinished escape at the end.
// Every kernel the CPU supports is checked against the reference decoder.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "kernels/kernel.h"
#include "support/decode_pieces.h"
#include "support/reference_decoder.h"

namespace {

using quenlo::detail::decode_kernel;

std::vector<decode_kernel> kernels_to_check() {
    std::vector<decode_kernel> usable;
    for (const auto& k : quenlo::detail::decode_kernels()) {
        if (k.supported()) usable.push_back(k);
        else std::cout << "skipped kernel " << k.name << ": not supported by this CPU\n";
    }
    return usable;
}

// Filler that no escape can absorb: neither a hex digit nor a special byte.
constexpr char filler = 'z';

// Bytes around the escape, so that it lands at every offset of a vector up
// to 64 bytes wide and touches both of its edges.
constexpr std::size_t widest_vector = 64;

std::string printable(const std::string& s) {
    std::string r;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        const char* hex = "0123456789ABCDEF";
        r += (u >= 0x20 && u < 0x7F) ? std::string(1, c) : std::string{'\\', 'x', hex[u >> 4], hex[u & 15]};
    }
    return r;
}

TEST(Exhaustive, EveryPercentPair) {
    for (const auto& kernel : kernels_to_check()) {
        for (int x = 0; x < 256; ++x) {
            for (int y = 0; y < 256; ++y) {
                const std::string escape = {'%', static_cast<char>(x), static_cast<char>(y)};
                const std::string expected = quenlo_test::reference_decode(escape);
                // Alone, handed over whole and cut at each of its inner points.
                for (const std::vector<std::size_t>& cuts :
                     {std::vector<std::size_t>{}, {1}, {2}, {1, 2}, {0, 3}}) {
                    const auto r = quenlo_test::decode_pieces(kernel, escape, cuts);
                    ASSERT_TRUE(r.within_bound) << kernel.name << " " << printable(escape);
                    ASSERT_EQ(r.out, expected) << kernel.name << " " << printable(escape)
                                               << " cuts " << cuts.size();
                }
                // At every offset of a line as wide as the widest vector.
                for (std::size_t at = 0; at + escape.size() <= widest_vector + 3; ++at) {
                    std::string line(widest_vector + 3, filler);
                    line.replace(at, escape.size(), escape);
                    const auto r = quenlo_test::decode_pieces(kernel, line, {});
                    ASSERT_EQ(r.out, quenlo_test::reference_decode(line))
                        << kernel.name << " " << printable(escape) << " at " << at;
                }
            }
        }
    }
}

// "%" and "%X" as the last bytes of the input are written as they stand,
// whatever comes before them and wherever the last piece starts.
TEST(Exhaustive, EveryUnfinishedEscapeAtTheEnd) {
    std::vector<std::string> tails = {"%"};
    for (int x = 0; x < 256; ++x) tails.push_back({'%', static_cast<char>(x)});
    for (const auto& kernel : kernels_to_check()) {
        for (const auto& tail : tails) {
            for (std::size_t lead = 0; lead <= widest_vector + 1; ++lead) {
                const std::string in = std::string(lead, filler) + tail;
                const std::string expected = quenlo_test::reference_decode(in);
                for (const std::vector<std::size_t>& cuts :
                     {std::vector<std::size_t>{}, {lead}, {in.size() - 1}, {in.size()}}) {
                    const auto r = quenlo_test::decode_pieces(kernel, in, cuts);
                    ASSERT_TRUE(r.within_bound) << kernel.name;
                    ASSERT_EQ(r.out, expected) << kernel.name << " " << printable(in) << " cut at "
                                               << (cuts.empty() ? 0 : cuts[0]);
                }
            }
        }
    }
}

}  // namespace
