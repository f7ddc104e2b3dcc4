// Every kernel in the registry, scalar included, against the plain reference decoder.
#include "kernels/kernel.h"
#include "support/decode_pieces.h"
#include "support/form_data.h"
#include "support/reference_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace quenlo::detail {
// Failure messages name the kernel rather than dumping its bytes.
void PrintTo(const decode_kernel& kernel, std::ostream* os) { *os << kernel.name; }
}  // namespace quenlo::detail

namespace {

using quenlo::detail::decode_kernel;

// Decodes `input` with `run`, handed over in the pieces that `cuts`
// (ascending offsets) mark. Fails the test if a call writes past its bound.
std::string decode_with(quenlo::detail::decode_kernel_fn run, const std::string& input,
                        const std::vector<std::size_t>& cuts = {}) {
    const auto r = quenlo_test::decode_pieces({"", nullptr, run}, input, cuts);
    EXPECT_TRUE(r.within_bound);
    return r.out;
}

std::string reference(const std::string& input) { return quenlo_test::reference_decode(input); }

class Kernel : public testing::TestWithParam<decode_kernel> {
protected:
    void SetUp() override {
        if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " is not supported by this CPU";
    }
};

// Each pattern placed at every offset across the first blocks, in plain
// text and in text full of escapes, so that it meets every block edge; and
// then with only 16 bytes after it, so that it meets the vector loop's end.
TEST_P(Kernel, PatternsAtEveryOffset) {
    const auto cr_block_lf = [](char c) {  // a CR, 64 of c, an LF
        std::string s(66, c);
        s.front() = '\r';
        s.back() = '\n';
        return s;
    };
    const std::vector<std::string> patterns = {
        "%41",  "%4",   "%",     "%e3%8A", "%%41", "%4%41", "%4g",     "%g4",
        "\r\n", "\r",   "\n",    "\r\r\n", "\n\r", "&",     "&&",      "+\t",
        "%\r\n", "%4\r", "%0D%0A", "%26",  "%25", "\r%41", std::string("\0%00", 4),
        // A CR ends one block, the next takes a fast path, then an LF: a line break of its own.
        cr_block_lf('a'), cr_block_lf('+'), cr_block_lf('\t'),
    };
    const std::vector<std::string> fillers = {"a", "%41", "+", "%E3%81%82x", "\r\n"};
    for (const auto& filler : fillers) {
        for (const auto& pattern : patterns) {
            for (std::size_t offset = 0; offset < 140; ++offset) {
                std::string in;
                while (in.size() < offset) in += filler;
                in.resize(offset);
                in += pattern;
                const std::size_t end = in.size() + 16;
                while (in.size() < offset + 200) in += filler;
                for (const std::size_t size : {end, in.size()})
                    ASSERT_EQ(decode_with(GetParam().run, in.substr(0, size)), reference(in.substr(0, size)))
                        << "pattern " << testing::PrintToString(pattern) << " at " << offset << " in "
                        << testing::PrintToString(filler) << ", " << size << " bytes";
            }
        }
    }
}

TEST_P(Kernel, RandomInputsWhole) {
    quenlo_test::random_bytes rng{20261207};
    for (int round = 0; round < 3000; ++round) {
        const std::string in = quenlo_test::random_form_data(rng, static_cast<std::size_t>(round % 700));
        ASSERT_EQ(decode_with(GetParam().run, in), reference(in)) << testing::PrintToString(in);
    }
}

// Long enough for a loop that chooses, from the first 64 blocks of a piece,
// whether to decode escapes without asking if a block holds a '%': escapes
// common from the start, and escapes only after 2 KiB without any.
TEST_P(Kernel, LongInputsWithEscapesCommonAndRare) {
    quenlo_test::random_bytes rng{64};
    for (int round = 0; round < 20; ++round) {
        std::string in = quenlo_test::random_form_data(rng, 5000);
        if (round % 2 == 1)
            for (std::size_t k = 0; k < 2048; ++k)
                if (in[k] == '%') in[k] = '+';
        ASSERT_EQ(decode_with(GetParam().run, in), reference(in)) << "round " << round;
    }
    // A CR ending a block, then blocks of spaces or of escapes, then an LF, where escapes are common.
    for (std::size_t at = 2048; at < 2048 + 64; ++at)
        for (const bool spaces : {true, false}) {
            std::string in;
            while (in.size() < 4096) in += "%41";
            if (spaces) in.replace(at, 66, std::string(66, '+'));
            in[at] = '\r';
            in[at + 65] = '\n';
            ASSERT_EQ(decode_with(GetParam().run, in), reference(in)) << "CR at " << at << ", spaces " << spaces;
        }
}

// The same for the other choices made from the first 64 blocks: line breaks
// common and escapes rare, then escapes; CRs in more than one block in
// eight but breaks in too few to be common, then a block that ends in a CR,
// blocks without a break, and an LF where the loop hands over to the tail.
TEST_P(Kernel, LongInputsWithBreaksOrCrsCommon) {
    quenlo_test::random_bytes rng{65};
    for (int round = 0; round < 10; ++round) {
        const std::string unit = round % 2 == 0 ? "a&" : "b\r";
        std::string in;
        while (in.size() < 4096) in += unit;
        in += quenlo_test::random_form_data(rng, 3000);
        ASSERT_EQ(decode_with(GetParam().run, in), reference(in)) << "round " << round;
    }
    std::string crs(4096 + 64, 'a');
    for (std::size_t block = 0; block < 10; ++block) crs[block * 64 * 6 + 7] = '\r';
    crs.back() = '\r';
    for (std::size_t size = crs.size() + 64; size < crs.size() + 64 * 3; ++size)
        for (std::size_t lf = size - 66; lf < size; ++lf) {
            std::string in = crs + std::string(size - crs.size(), 'a');
            in[lf] = '\n';
            ASSERT_EQ(decode_with(GetParam().run, in), reference(in)) << size << " bytes, LF at " << lf;
        }
}

// run_watching gives run's bytes and state, and says whether the bytes it
// was handed held a Ctrl-Z: in a run of plain blocks (first and second of
// it), in blocks of each kind the loop chooses its way for, in the tail, or
// none; handed over whole and in two pieces.
TEST_P(Kernel, WatchingSaysWhetherAPieceHeldACtrlZ) {
    const auto repeated = [](const std::string& unit, std::size_t size) {
        std::string s;
        while (s.size() < size) s += unit;
        return s;
    };
    quenlo_test::random_bytes rng{66};
    const std::vector<std::string> bodies = {repeated("a", 8192), repeated("a&", 8192), repeated("b\r", 8192),
                                             repeated("%41", 8192), quenlo_test::random_form_data(rng, 8192)};
    constexpr std::size_t none = ~std::size_t{0};
    for (const auto& body : bodies)
        for (const std::size_t at : {none, std::size_t{0}, std::size_t{70}, std::size_t{4096 + 7},
                                     std::size_t{4096 + 64 + 7}, body.size() - 40, body.size() - 1})
            for (const std::size_t cut : {std::size_t{0}, std::size_t{4095}}) {
                std::string in = body;
                std::replace(in.begin(), in.end(), static_cast<char>(quenlo::detail::ctrl_z), 'z');
                if (at != none) in[at] = static_cast<char>(quenlo::detail::ctrl_z);
                quenlo::decode_state plain{}, watching{};
                std::vector<unsigned char> a(quenlo::decode_bound(in.size())), b(a.size());
                std::size_t na = 0, nb = 0;
                bool seen_before = false, seen_after = false;
                const auto bytes = [&](std::size_t from, std::size_t to) {
                    return std::span{reinterpret_cast<const unsigned char*>(in.data()) + from, to - from};
                };
                na = GetParam().run(plain, bytes(0, cut), a.data());
                na += GetParam().run(plain, bytes(cut, in.size()), a.data() + na);
                nb = GetParam().run_watching(watching, bytes(0, cut), b.data(), seen_before);
                nb += GetParam().run_watching(watching, bytes(cut, in.size()), b.data() + nb, seen_after);
                const std::string what = testing::PrintToString(body.substr(0, 4)) + ", Ctrl-Z at " +
                                         (at == none ? "none" : std::to_string(at)) + ", cut at " + std::to_string(cut);
                ASSERT_TRUE(na == nb && std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(na), b.begin()))
                    << what;
                ASSERT_FALSE(plain != watching) << what;
                ASSERT_EQ(seen_before, at != none && at < cut) << what;
                ASSERT_EQ(seen_after, at != none && at >= cut) << what;
            }
}

// Where the input is cut must not change the output, whatever the kernel.
TEST_P(Kernel, RandomInputsSplitAnywhere) {
    quenlo_test::random_bytes rng{7};
    for (int round = 0; round < 12; ++round) {
        const std::string in = quenlo_test::random_form_data(rng, 150 + static_cast<std::size_t>(round) * 40);
        const std::string whole = reference(in);
        for (std::size_t a = 0; a <= in.size(); ++a) {
            ASSERT_EQ(decode_with(GetParam().run, in, {a}), whole) << "cut at " << a;
            const std::size_t b = std::min(in.size(), a + 1 + (a * 13) % 97);
            ASSERT_EQ(decode_with(GetParam().run, in, {a, b}), whole) << "cuts at " << a << "," << b;
        }
    }
}

// Every byte value right after '%', after '%X', and in the digits' places.
TEST_P(Kernel, EveryByteAroundAnEscape) {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        for (const std::string& shape : {std::string("%") + c + "1", std::string("%4") + c,
                                         std::string(1, c) + "%41", std::string("\r") + c}) {
            std::string in;
            for (int k = 0; k < 40; ++k) in += shape;
            ASSERT_EQ(decode_with(GetParam().run, in), reference(in)) << "byte " << b;
        }
    }
}

// The kernels the build was configured with (QUENLO_KERNELS).
std::set<std::string> built_kernels() {
    std::set<std::string> names;
    std::istringstream list(QUENLO_BUILT_KERNELS);
    for (std::string name; std::getline(list, name, ',');) names.insert(name);
    return names;
}

// A kernel left out of the build must never run; one asked for must be there.
TEST(KernelChoice, RegistryHoldsTheBuiltKernels) {
    std::set<std::string> registered;
    for (const auto& k : quenlo::detail::decode_kernels()) registered.insert(k.name);
    EXPECT_EQ(registered, built_kernels());
    EXPECT_STREQ(quenlo::detail::decode_kernels()[0].name, "scalar");
}

// The program decodes with the last kernel in the registry that the CPU runs,
// and on ARM64 that must be NEON, which every such CPU runs, when built in.
TEST(KernelChoice, MostCapableSupportedKernel) {
    const decode_kernel* expected = nullptr;
    for (const auto& k : quenlo::detail::decode_kernels())
        if (k.supported()) expected = &k;
    ASSERT_NE(expected, nullptr);
    EXPECT_STREQ(quenlo::detail::chosen_kernel().name, expected->name);
#if defined(__aarch64__)
    if (built_kernels().count("neon") != 0) {
        EXPECT_STREQ(quenlo::detail::chosen_kernel().name, "neon");
    }
#endif
    // Under an emulated CPU, CI names the kernel that CPU must get, so that a
    // kernel offered on too little is caught even where it would not fault.
    if (const char* want = std::getenv("QUENLO_EXPECT_KERNEL")) {
        EXPECT_STREQ(quenlo::detail::chosen_kernel().name, want);
    }
}

// Input dense in the bytes that leave a state carried ('%', "%X", CR), cut
// into pieces of each length in turn: piece after piece ends in a carried
// state, and the next must settle it and still decode the rest in blocks.
TEST_P(Kernel, CarriedStateAtEveryPieceEnd) {
    const std::vector<std::string> patterns = {"%",  "%4",   "\r",     "a%",  "a\r",
                                               "%\r", "%4\r", "\r\r\n", "%%41", "%41%4"};
    for (const auto& pattern : patterns) {
        std::string in;
        while (in.size() < 400) in += pattern;
        const std::string expected = quenlo_test::reference_decode(in);
        for (std::size_t length = 1; length <= 140; ++length) {
            std::vector<std::size_t> cuts;
            for (std::size_t at = length; at < in.size(); at += length) cuts.push_back(at);
            ASSERT_EQ(decode_with(GetParam().run, in, cuts), expected)
                << testing::PrintToString(pattern) << " in pieces of " << length;
        }
    }
}

// The context rule: after any two bytes, whatever came before them, the
// state a kernel leaves is the one decode_state_after gives for those two.
TEST_P(Kernel, StateDependsOnlyOnTheLastTwoBytes) {
    const std::vector<std::string> befores = {"", "%", "%4", "%%", "\r", "x", "%4%"};
    unsigned char out[16];
    for (const auto& before : befores) {
        for (unsigned pair = 0; pair < 0x10000; ++pair) {
            std::string in = before;
            in += static_cast<char>(pair >> 8);
            in += static_cast<char>(pair & 0xFF);
            for (std::size_t lead = 1; lead <= quenlo::context_size; ++lead) {
                if (lead == 1 && !before.empty()) break;  // one byte of lead: the input's first
                const std::string whole = lead == 1 ? in.substr(in.size() - 1) : in;
                quenlo::decode_state state{};
                static_cast<void>(GetParam().run(state, {reinterpret_cast<const unsigned char*>(whole.data()), whole.size()}, out));
                const auto last = reinterpret_cast<const unsigned char*>(whole.data()) + whole.size() - lead;
                ASSERT_TRUE(state == quenlo::decode_state_after({last, lead}))
                    << testing::PrintToString(whole) << ", lead of " << lead;
            }
        }
    }
}

std::string kernel_name(const testing::TestParamInfo<decode_kernel>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(All, Kernel, testing::ValuesIn(quenlo::detail::decode_kernels().begin(),
                                                        quenlo::detail::decode_kernels().end()),
                         kernel_name);

}  // namespace
