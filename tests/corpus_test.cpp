// Tests with the benchmark corpora: they are what they claim to be.
// And the whole program, with its large reads and the kernel it picks,
// decodes them exactly as the plain reference decoder does.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/form_data.h"
#include "convert.h"
#include "support/run.h"
#include "support/reference_decoder.h"

namespace {

using quenlo_test::corpus_kind;

struct corpus_case {
    corpus_kind kind;
    double min_escaped;  // share of the bytes that are in %XX escapes
    double max_escaped;
    std::size_t min_longest_line;
    std::size_t max_longest_line;
};

const std::vector<corpus_case> corpus_cases = {
    {corpus_kind::ascii, 0.01, 0.30, 100, 1000},
    {corpus_kind::sjis, 0.80, 1.00, 100, 2000},
    {corpus_kind::utf8, 0.60, 1.00, 100, 5000},
    {corpus_kind::textarea, 0.30, 0.90, 5000, 21000},
};

TEST(Corpus, KindsAreAsDescribed) {
    constexpr std::size_t size = 3 << 20;
    for (const auto& c : corpus_cases) {
        const auto name = quenlo_test::corpus_names[static_cast<std::size_t>(c.kind)];
        std::string a;
        std::string b;
        quenlo_test::make_corpus(a, c.kind, size);
        quenlo_test::make_corpus(b, c.kind, size);
        ASSERT_EQ(a.size(), size) << name;
        EXPECT_TRUE(a == b) << name << ": not the same bytes twice";
        EXPECT_EQ(a.back(), '\n') << name;
        std::size_t escaped = 0;
        for (std::size_t i = 0; i + 2 < a.size(); ++i)
            if (a[i] == '%' && std::isxdigit(static_cast<unsigned char>(a[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(a[i + 2])))
                escaped += 3;
        const double share = static_cast<double>(escaped) / static_cast<double>(size);
        EXPECT_GE(share, c.min_escaped) << name;
        EXPECT_LE(share, c.max_escaped) << name;
        std::size_t longest = 0;
        for (std::size_t from = 0, lf; from < a.size(); from = lf + 1) {
            lf = a.find('\n', from);
            longest = std::max(longest, lf - from);
        }
        EXPECT_GE(longest, c.min_longest_line) << name;
        EXPECT_LE(longest, c.max_longest_line) << name;
    }
}

// Several reads' worth of each corpus, with escapes and line ends falling
// on read boundaries wherever the text puts them.
TEST(Corpus, ProgramMatchesReferenceDecoder) {
    quenlo_test::temp_dir dir;
    for (const auto& c : corpus_cases) {
        const auto name = std::string(quenlo_test::corpus_names[static_cast<std::size_t>(c.kind)]);
        std::string input;
        quenlo_test::make_corpus(input, c.kind, 5 * quenlo::read_size / 2 + 7);
        quenlo_test::write_file(dir.file(name), input);
        const auto r = quenlo_test::run_quenlo({dir.file(name), dir.file(name + ".out")});
        ASSERT_EQ(r.status, 0) << name << r.err;
        EXPECT_TRUE(quenlo_test::read_file(dir.file(name + ".out")) == quenlo_test::reference_decode(input))
            << name;
    }
}

// The same for the adversarial corpora: read after read ends in the state a
// dense input carries.
TEST(Corpus, ProgramMatchesReferenceOnAdversarialCorpora) {
    quenlo_test::temp_dir dir;
    for (const auto& c : quenlo_test::adversarial_corpora()) {
        std::string input;
        quenlo_test::make_adversarial(input, c, 5 * quenlo::read_size / 2 + 7);
        // A prefix, since some corpus names ("nul") are device names on Windows.
        const std::string name = "corpus-" + std::string(c.name);
        quenlo_test::write_file(dir.file(name), input);
        const auto r = quenlo_test::run_quenlo({dir.file(name), dir.file(name + ".out")});
        ASSERT_EQ(r.status, 0) << c.name << r.err;
        EXPECT_TRUE(quenlo_test::read_file(dir.file(name + ".out")) ==
                    quenlo_test::reference_decode(input))
            << c.name;
    }
}

}  // namespace
