// Differential fuzz target for the decoder. Each input is decoded by every
// kernel the CPU supports, once whole and once in pieces, and must match the
// reference decoder byte for byte and stay within twice the input's size.
//
// Input layout: the first byte's low three bits give a count K of the bytes
// after it that are piece lengths (a cut after each); bit 3 set also decodes
// one byte at a time; bit 4 set repeats the K lengths to the end of the
// input, so that on dense input piece after piece ends in a carried state.
// The form data is everything after those K bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/kernel.h"
#include "support/decode_pieces.h"
#include "support/reference_decoder.h"

namespace {

std::string printable(std::string_view s) {
    std::string r;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            r += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            r += hex;
        }
    }
    return r;
}

[[noreturn]] void fail(const char* kernel, const char* how, std::string_view in,
                       std::string_view expected, std::string_view got, const char* what) {
    std::fprintf(stderr,
                 "decoder mismatch: kernel %s, %s: %s\n  input:     \"%s\"\n"
                 "  reference: \"%s\"\n  kernel:    \"%s\"\n",
                 kernel, how, what, printable(in).c_str(), printable(expected).c_str(),
                 printable(got).c_str());
    std::abort();
}

void check(const quenlo::detail::decode_kernel& kernel, const char* how, std::string_view in,
           const std::vector<std::size_t>& cuts, const std::string& expected) {
    const auto r = quenlo_test::decode_pieces(kernel, in, cuts);
    if (!r.within_bound) fail(kernel.name, how, in, expected, r.out, "a call exceeded decode_bound");
    if (r.out.size() > 2 * in.size()) fail(kernel.name, how, in, expected, r.out, "output over twice the input");
    if (r.out != expected) fail(kernel.name, how, in, expected, r.out, "output differs");
}

}  // namespace

// Called once before the first input: says which kernels are under test.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const auto& kernel : quenlo::detail::decode_kernels())
        std::fprintf(stderr, "%s kernel %s\n", kernel.supported() ? "checking" : "skipped (CPU lacks it):",
                     kernel.name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned control = data[0];
    const std::size_t header = std::min<std::size_t>(size, 1 + (control & 7u));
    const std::string_view in(reinterpret_cast<const char*>(data) + header, size - header);

    std::vector<std::size_t> cuts;
    std::size_t at = 0;
    std::size_t period = 0;
    for (std::size_t i = 1; i < header; ++i) period += data[i];
    do {
        for (std::size_t i = 1; i < header; ++i) {
            at = std::min(at + data[i], in.size());
            cuts.push_back(at);
        }
    } while ((control & 16u) && period != 0 && at < in.size());
    std::vector<std::size_t> every_byte;
    if (control & 8u)
        for (std::size_t i = 1; i < in.size(); ++i) every_byte.push_back(i);

    const std::string expected = quenlo_test::reference_decode(in);
    for (const auto& kernel : quenlo::detail::decode_kernels()) {
        if (!kernel.supported()) continue;  // named once, by LLVMFuzzerInitialize
        check(kernel, "whole", in, {}, expected);
        check(kernel, "in pieces", in, cuts, expected);
        if (control & 8u) check(kernel, "one byte at a time", in, every_byte, expected);
    }
    return 0;
}
