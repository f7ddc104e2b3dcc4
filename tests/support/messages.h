// Test support: what the program writes to standard error, as the tests expect it.
#pragma once

#include <string>

namespace quenlo_test {

#ifdef _WIN32
// Standard error is a text stream: its line end is the system's.
inline const std::string eol = "\r\n";
#else
inline const std::string eol = "\n";
#endif

inline const std::string banner = "Quenlo V1.00 for Win32 console application" + eol +
                                  "Copyright (C) 2026 The quenlo developers" + eol;
inline const std::string usage = eol + "usage: quenlo input [output]" + eol;

// "File [PATH] cannot be opened." in Japanese, as Shift_JIS bytes, with no line end.
inline std::string cannot_open_input(const std::string& path) {
    return "\x83\x74\x83\x40\x83\x43\x83\x8B [" + path +
           "] \x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\x2E";
}

}  // namespace quenlo_test
