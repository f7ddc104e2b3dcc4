// The decoder's public entry points: the decoding rules case by case, and cuts anywhere.
#include <quenlo/decode.h>
#include "support/decode_pieces.h"
#include "support/form_data.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// Decodes `input` through the public entry, handed over in the pieces that
// `cuts` (ascending offsets) mark.
std::string decode_pieces(const std::string& input, const std::vector<std::size_t>& cuts) {
    const auto r = quenlo_test::decode_pieces({"", nullptr, quenlo::decode_form_chunk}, input, cuts);
    EXPECT_TRUE(r.within_bound);
    return r.out;
}

std::string decode(const std::string& input) { return decode_pieces(input, {}); }

struct decode_case {
    const char* name;
    std::string input;
    std::string expected;
};

const std::vector<decode_case> cases = {
    {"fields", "a=1&b=2\n", "a=1\r\nb=2\r\n"},
    {"plus and escapes", "x+y%41%42\n", "x yAB\r\n"},
    {"tab", "p\tq\n", "p q\r\n"},
    {"empty fields", "&&\n", "\r\n\r\n\r\n"},
    {"no final line end", "abc", "abc"},
    {"empty", "", ""},
    {"crlf is one break", "a\r\nb\r\n", "a\r\nb\r\n"},
    {"lone cr is a break and keeps what follows", "a\rb\n", "a\r\nb\r\n"},
    {"cr at the end", "a\rb", "a\r\nb"},
    {"cr cr lf", "a\r\r\nb", "a\r\n\r\nb"},
    {"lf cr", "a\n\rb", "a\r\n\r\nb"},
    {"escaped ampersand is data", "%26%2B%25s", "&+%s"},
    {"utf-8 escapes", "%E3%81%82", "\xE3\x81\x82"},
    {"lower-case hex", "%e3%81%8a%Fa", "\xE3\x81\x8A\xFA"},
    {"high bytes pass", "\x83\x74\xFF", "\x83\x74\xFF"},
    {"escaped line ends are data", "%0A|%0D%0A", "\n|\r\n"},
    {"zero byte is data", std::string("ab\0cd\n", 6), std::string("ab\0cd\r\n", 7)},
    {"escaped zero is data", "ab%00cd\n", std::string("ab\0cd\r\n", 7)},
    {"stray percent before field break", "a=100%&b=2", "a=100%\r\nb=2"},
    {"double percent", "%%41", "%A"},
    {"percent and one digit", "%4&x", "%4\r\nx"},
    {"percent and non-hex", "%zz%g1", "%zz%g1"},
    {"percent before line end", "%\r\n%4\n", "%\r\n%4\r\n"},
    {"percent at the end", "a%", "a%"},
    {"percent and digit at the end", "a%4", "a%4"},
    {"equals is not special", "name=value", "name=value"},
    {"percent then escape", "%4%41", "%4A"},
};

TEST(Decode, Cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(decode(c.input), c.expected) << c.name;
    }
}

TEST(Decode, FieldBreaksDoubleTheSize) {
    const std::string in(1023, '&');
    std::string expected;
    for (int i = 0; i < 1023; ++i) expected += "\r\n";
    EXPECT_EQ(decode(in), expected);
}

// A bad second digit must not hide a good pair after it, for every byte.
TEST(Decode, BadPairForEveryByte) {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const bool hex = std::isxdigit(b) != 0;
        const std::string in = std::string("%4") + c;
        const std::string out = decode(in);
        if (hex) {
            EXPECT_EQ(out.size(), 1u) << b;
        } else {
            EXPECT_EQ(out.substr(0, 2), "%4") << b;
            EXPECT_EQ(out.substr(2), decode(std::string(1, c))) << b;
        }
    }
}

// Where the input is cut must never change the output.
TEST(Decode, SplitAnywhereEqualsWhole) {
    quenlo_test::random_bytes rng{12345};
    for (int round = 0; round < 400; ++round) {
        const std::string in = quenlo_test::random_form_data(rng, static_cast<std::size_t>(1 + round % 40));
        const std::string whole = decode(in);
        for (std::size_t a = 0; a <= in.size(); ++a) {
            ASSERT_EQ(decode_pieces(in, {a}), whole) << "cut at " << a;
            for (std::size_t b = a; b <= in.size() && b < a + 4; ++b)
                ASSERT_EQ(decode_pieces(in, {a, b}), whole) << "cuts at " << a << "," << b;
        }
        std::vector<std::size_t> every_byte;
        for (std::size_t k = 0; k <= in.size(); ++k) every_byte.push_back(k);
        ASSERT_EQ(decode_pieces(in, every_byte), whole);
    }
}

// After the end of one input, the same state starts the next one afresh.
TEST(Decode, FinishLeavesAFreshState) {
    const std::vector<std::pair<std::string, std::string>> inputs = {
        {"a%4", "1\n"}, {"a%", "41"}, {"a\r", "\nb"}};
    for (const auto& [first, second] : inputs) {
        quenlo::decode_state state;
        std::vector<unsigned char> out(quenlo::decode_bound(first.size() + second.size()) + 2);
        auto bytes = [](const std::string& s) {
            return std::span(reinterpret_cast<const unsigned char*>(s.data()), s.size());
        };
        std::size_t n = quenlo::decode_form_chunk(state, bytes(first), out.data());
        n += quenlo::decode_form_finish(state, out.data() + n);
        const std::size_t start = n;
        n += quenlo::decode_form_chunk(state, bytes(second), out.data() + n);
        n += quenlo::decode_form_finish(state, out.data() + n);
        EXPECT_EQ(std::string(out.begin() + static_cast<std::ptrdiff_t>(start),
                              out.begin() + static_cast<std::ptrdiff_t>(n)),
                  decode(second))
            << first << " then " << second;
    }
}

TEST(Decode, OutputWithinBound) {
    quenlo_test::random_bytes rng{99};
    for (int round = 0; round < 200; ++round) {
        const std::string in = quenlo_test::random_form_data(rng, 64);
        EXPECT_LE(decode(in).size(), 2 * in.size());
    }
}

}  // namespace
