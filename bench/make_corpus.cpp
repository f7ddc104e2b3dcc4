// Writes a benchmark corpus to standard output: make_corpus KIND SIZE
// KIND: ascii, sjis, utf8, textarea or one of the adversarial corpora, which
// `make_corpus --adversarial` lists. SIZE: bytes, with an optional K, M or G
// suffix (binary). The same arguments always give the same bytes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/form_data.h"

namespace {

bool parse_size(const char* text, std::size_t& size) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (end == text) return false;
    std::size_t unit = 1;
    if (*end == 'K') unit = std::size_t{1} << 10;
    if (*end == 'M') unit = std::size_t{1} << 20;
    if (*end == 'G') unit = std::size_t{1} << 30;
    if (unit != 1) ++end;
    size = static_cast<std::size_t>(n) * unit;
    return *end == '\0';
}

bool write_out(const std::string& s, std::size_t n) {
    for (std::size_t done = 0; done < n;) {
        const ssize_t w = ::write(1, s.data() + done, n - done);
        if (w <= 0) return false;
        done += static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quenlo_test;
    const auto adversarial = adversarial_corpora();
    if (argc == 2 && std::string(argv[1]) == "--adversarial") {
        for (const auto& c : adversarial) std::puts(c.name.c_str());
        return 0;
    }
    std::size_t size = 0;
    std::size_t kind = std::size(corpus_names);
    std::size_t hard = adversarial.size();
    for (std::size_t k = 0; argc == 3 && k < std::size(corpus_names); ++k)
        if (corpus_names[k] == argv[1]) kind = k;
    for (std::size_t k = 0; argc == 3 && k < adversarial.size(); ++k)
        if (adversarial[k].name == argv[1]) hard = k;
    if (argc != 3 || (kind == std::size(corpus_names) && hard == adversarial.size()) ||
        !parse_size(argv[2], size)) {
        std::fputs("usage: make_corpus ascii|sjis|utf8|textarea|ADVERSARIAL SIZE[K|M|G]\n"
                   "       make_corpus --adversarial     (lists the adversarial corpora)\n",
                   stderr);
        return 2;
    }
    // Line by line, as make_corpus() builds it (or unit by unit, as
    // make_adversarial() does), a few MiB at a time.
    const bool typical = kind != std::size(corpus_names);
    random_bytes r;
    if (typical) r.state += kind;
    std::string buffer;
    std::size_t left = size;
    while (left > 0) {
        buffer.clear();
        while (buffer.size() < (std::size_t{4} << 20)) {
            if (typical) put_line(buffer, r, static_cast<corpus_kind>(kind));
            else put_adversarial(buffer, r, adversarial[hard]);
        }
        const std::size_t n = buffer.size() < left ? buffer.size() : left;
        if (n == left && typical) buffer[n - 1] = '\n';  // the corpus ends with a whole line
        if (!write_out(buffer, n)) {
            std::perror("make_corpus");
            return 1;
        }
        left -= n;
    }
    return 0;
}
