// Decodes a file of HTML form data to standard output with libquenlo's C++
// interface, a piece at a time, as a program that streams its input would.
//
//     decode-cpp FILE
//
// Built by the CMakeLists.txt beside it, with find_package(quenlo).
#include <quenlo/decode.h>
#include <quenlo/quenlo.h>  // quenlo_version and quenlo_kernel, for the log line

#include <cstdio>
#include <fstream>
#include <iostream>
#include <span>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: decode-cpp FILE\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::perror(argv[1]);
        return 1;
    }
    std::cerr << "libquenlo " << quenlo_version() << ", kernel " << quenlo_kernel() << '\n';

    // An odd size, so that escapes and CR LF pairs fall across pieces.
    std::vector<char> piece(65521);
    std::vector<unsigned char> text(quenlo::decode_bound(piece.size()));
    quenlo::decode_state state;
    while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
        const std::span bytes(reinterpret_cast<const unsigned char*>(piece.data()),
                              static_cast<std::size_t>(in.gcount()));
        const std::size_t n = quenlo::decode_form_chunk(state, bytes, text.data());
        std::cout.write(reinterpret_cast<const char*>(text.data()), static_cast<std::streamsize>(n));
    }
    if (in.bad()) {
        std::perror(argv[1]);
        return 1;
    }
    // The end of the input: an escape cut off there is written as it stands.
    const std::size_t n = quenlo::decode_form_finish(state, text.data());
    std::cout.write(reinterpret_cast<const char*>(text.data()), static_cast<std::streamsize>(n));
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "decode-cpp: cannot write standard output\n";
        return 1;
    }
    return 0;
}
