// Test support: form data made up, the same bytes on every run and machine
// (a fixed random start and a generator of our own: the standard
// distributions differ between libraries). Random bytes for the decoder's
// unit tests; realistic and adversarial corpora for the benchmarks and the
// program's tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo_test {

enum class corpus_kind { ascii, sjis, utf8, textarea };

inline constexpr std::string_view corpus_names[] = {"ascii", "sjis", "utf8", "textarea"};

// splitmix64.
struct random_bytes {
    std::uint64_t state = 0x243F6A8885A308D3u;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    // A number in [lo, hi].
    std::size_t between(std::size_t lo, std::size_t hi) {
        return lo + static_cast<std::size_t>(next() % (hi - lo + 1));
    }
};

// Random bytes weighted to what the decoder treats specially: escapes whole
// and broken, field and line breaks, CR LF, Ctrl-Z, high bytes; now and then
// a stretch of plain text, so that a vector kernel's whole blocks take the
// fast path.
inline std::string random_form_data(random_bytes& r, std::size_t size) {
    static constexpr std::string_view alphabet = "%%%%%&+\t\r\n\r\n0aF49fE=zZ\x1A\x80\xE3g";
    std::string s;
    while (s.size() < size) {
        const std::size_t i = s.size();
        if (r.between(0, 9) == 0) {
            s.append(std::min(size - i, 1 + (i * 7) % 150), 'x');
        } else if (i % 5 == 3) {
            s += static_cast<char>(r.between(0, 255));
        } else {
            s += alphabet[r.between(0, alphabet.size() - 1)];
        }
    }
    return s;
}

inline void put_escape(std::string& s, unsigned byte, bool lower) {
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    s += '%';
    s += digits[byte >> 4];
    s += digits[byte & 15u];
}

// Words joined by '+', now and then an escaped punctuation mark.
inline void put_words(std::string& s, random_bytes& r, std::size_t count) {
    static constexpr std::string_view words[] = {
        "the", "order", "was", "not", "delivered", "please", "call", "me", "back",
        "thank", "you", "for", "your", "reply", "invoice", "number", "on", "monday",
        "we", "would", "like", "to", "book", "a", "room", "two", "nights", "price"};
    static constexpr unsigned punctuation[] = {',', '.', '!', '?', '(', ')', '/', ':', '@'};
    for (std::size_t k = 0; k < count; ++k) {
        if (k != 0) s += '+';
        s += words[r.between(0, std::size(words) - 1)];
        if (r.between(0, 9) == 0) put_escape(s, punctuation[r.between(0, std::size(punctuation) - 1)], false);
    }
}

// Shift_JIS characters (lead 0x88-0x9F, trail 0x40-0xFC), every byte escaped.
inline void put_sjis(std::string& s, random_bytes& r, std::size_t chars) {
    for (std::size_t k = 0; k < chars; ++k) {
        if (r.between(0, 15) == 0) {
            s += static_cast<char>('0' + r.between(0, 9));  // a digit between
            continue;
        }
        put_escape(s, static_cast<unsigned>(r.between(0x88, 0x9F)), false);
        unsigned trail = static_cast<unsigned>(r.between(0x40, 0xFC));
        if (trail == 0x7F) trail = 0x80;
        put_escape(s, trail, false);
    }
}

// Japanese in UTF-8 (kana and kanji, three bytes each), every byte escaped.
inline void put_utf8(std::string& s, random_bytes& r, std::size_t chars, bool lower) {
    for (std::size_t k = 0; k < chars; ++k) {
        const bool kana = r.between(0, 1) == 0;
        const unsigned code = kana ? static_cast<unsigned>(r.between(0x3041, 0x30F6))
                                   : static_cast<unsigned>(r.between(0x4E00, 0x9FA0));
        put_escape(s, 0xE0u | (code >> 12), lower);
        put_escape(s, 0x80u | ((code >> 6) & 0x3Fu), lower);
        put_escape(s, 0x80u | (code & 0x3Fu), lower);
    }
}

inline void put_contact(std::string& s, random_bytes& r) {
    s += "name=";
    put_words(s, r, 2);
    s += "&email=user";
    s += std::to_string(r.between(1, 99999));
    s += "%40example.com&tel=03-";
    s += std::to_string(r.between(1000, 9999));
    s += '-';
    s += std::to_string(r.between(1000, 9999));
}

// One submission, ending in LF.
inline void put_line(std::string& s, random_bytes& r, corpus_kind kind) {
    switch (kind) {
    case corpus_kind::ascii:
        put_contact(s, r);
        s += "&subject=";
        put_words(s, r, r.between(2, 6));
        for (std::size_t f = r.between(1, 4); f > 0; --f) {
            s += "&message=";
            put_words(s, r, r.between(3, 12));
        }
        break;
    case corpus_kind::sjis:
        s += "name=";
        put_sjis(s, r, r.between(3, 6));
        s += "&address=";
        put_sjis(s, r, r.between(10, 30));
        s += "&message=";
        put_sjis(s, r, r.between(20, 120));
        break;
    case corpus_kind::utf8: {
        const bool lower = r.between(0, 9) == 0;  // some encoders write lower-case hex
        s += "name=";
        put_utf8(s, r, r.between(2, 5), lower);
        s += "&email=user%40example.jp&message=";
        for (std::size_t run = r.between(2, 6); run > 0; --run) {
            put_utf8(s, r, r.between(5, 40), lower);
            s += '+';
            if (r.between(0, 2) == 0) {
                put_words(s, r, r.between(1, 4));
                s += '+';
            }
        }
        break;
    }
    case corpus_kind::textarea: {
        put_contact(s, r);
        s += "&message=";
        const std::size_t length = r.between(5000, 20000);
        const std::size_t start = s.size();
        while (s.size() - start < length) {
            if (r.between(0, 1) == 0) {
                put_words(s, r, r.between(5, 40));
            } else {
                put_utf8(s, r, r.between(5, 60), false);
            }
            s += r.between(0, 3) == 0 ? "%0D%0A" : "+";
        }
        break;
    }
    }
    s += '\n';
}

// Appends whole submissions to `out` until it holds at least `size` bytes,
// then cuts it to `size`, ending it with a line end. Calls with the same
// arguments give the same bytes.
inline void make_corpus(std::string& out, corpus_kind kind, std::size_t size) {
    random_bytes r;
    r.state += static_cast<std::uint64_t>(kind);
    out.clear();
    out.reserve(size + 32 * 1024);
    while (out.size() < size) put_line(out, r, kind);
    out.resize(size);
    if (size != 0) out.back() = '\n';
}

// Inputs built to be hard rather than typical: each special byte dense and
// alone between letters, the special bytes in alternating pairs, stray '%'
// in every position relative to hex digits, CR runs, and the bytes the
// decoder only copies. A slow path anywhere in a kernel shows on one of them.
enum class adversarial_fill {
    pattern,          // `pattern`, repeated
    cr_runs,          // 1-16 letters, then 1-16 bare CRs
    high_bytes,       // random bytes 0x80-0xFF
    random_bytes,     // random bytes 0x00-0xFF but Ctrl-Z, which would end the input
    random_specials,  // random special bytes, hex digits and a letter
};

struct adversarial_corpus {
    std::string name;
    adversarial_fill fill = adversarial_fill::pattern;
    std::string pattern;
};

inline std::vector<adversarial_corpus> adversarial_corpora() {
    struct special {
        char byte;
        const char* name;
    };
    static constexpr special specials[] = {{'%', "pct"}, {'&', "amp"}, {'+', "plus"},
                                           {'\t', "tab"}, {'\r', "cr"},  {'\n', "lf"}};
    using enum adversarial_fill;
    std::vector<adversarial_corpus> all;
    for (const auto& s : specials) all.push_back({std::string("dense-") + s.name, pattern, {s.byte}});
    for (const auto& s : specials) all.push_back({std::string("lone-") + s.name, pattern, {'a', s.byte}});
    for (std::size_t a = 0; a < std::size(specials); ++a)
        for (std::size_t b = a + 1; b < std::size(specials); ++b)
            all.push_back({std::string("pair-") + specials[a].name + "-" + specials[b].name, pattern,
                           {specials[a].byte, specials[b].byte}});
    // Stray '%' before a letter, a digit, a digit and a letter, ..., and beside a real escape.
    all.push_back({"stray-pct-letter", pattern, "%z"});
    all.push_back({"stray-pct-digit", pattern, "%4"});
    all.push_back({"stray-pct-digit-letter", pattern, "%4z"});
    all.push_back({"stray-pct-letter-digit", pattern, "%z4"});
    all.push_back({"stray-pct-pct-digit", pattern, "%%4"});
    all.push_back({"stray-pct-escape", pattern, "%%41"});
    all.push_back({"stray-pct-digit-escape", pattern, "%4%41"});
    all.push_back({"escapes", pattern, "%41"});
    all.push_back({"cr-runs", cr_runs, {}});
    all.push_back({"cr-cr-lf", pattern, "\r\r\n"});
    all.push_back({"nul", pattern, std::string(1, '\0')});
    all.push_back({"high-bytes", high_bytes, {}});
    all.push_back({"random-bytes", random_bytes, {}});
    all.push_back({"random-specials", random_specials, {}});
    return all;
}

// Appends at least 4 KiB of `c`; successive calls continue the same text.
inline void put_adversarial(std::string& s, random_bytes& r, const adversarial_corpus& c) {
    constexpr std::size_t unit = 4096;
    const std::size_t start = s.size();
    while (s.size() - start < unit) {
        switch (c.fill) {
        case adversarial_fill::pattern:
            s += c.pattern;
            break;
        case adversarial_fill::cr_runs:
            s.append(r.between(1, 16), 'a');
            s.append(r.between(1, 16), '\r');
            break;
        case adversarial_fill::high_bytes:
            s += static_cast<char>(r.between(0x80, 0xFF));
            break;
        case adversarial_fill::random_bytes: {
            const auto b = static_cast<char>(r.between(0, 0xFF));
            s += b == 0x1A ? '\x1B' : b;
            break;
        }
        case adversarial_fill::random_specials: {
            static constexpr std::string_view alphabet = "%&+\t\r\n0aF9z";
            s += alphabet[r.between(0, alphabet.size() - 1)];
            break;
        }
        }
    }
}

// The first `size` bytes of `c`. Calls with the same arguments give the same bytes.
inline void make_adversarial(std::string& out, const adversarial_corpus& c, std::size_t size) {
    random_bytes r;
    out.clear();
    out.reserve(size + 8 * 1024);
    while (out.size() < size) put_adversarial(out, r, c);
    out.resize(size);
}

}  // namespace quenlo_test
