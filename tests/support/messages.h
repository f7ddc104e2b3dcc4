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

// The same in UTF-8 and line ended, as a terminal under a UTF-8 locale shows it.
inline std::string cannot_open_input_utf8(const std::string& path) {
    return reinterpret_cast<const char*>(u8"ファイル [") + path + reinterpret_cast<const char*>(u8"] が開けません.") + eol;
}

// The other messages, each ended by the system's line end.
inline std::string cannot_open_output(const std::string& path) { return "Can't open file [" + path + "]" + eol; }
inline std::string same_file(const std::string& path) {
    return "Input and output are the same file [" + path + "]" + eol;
}
inline std::string cannot_read(const std::string& path, const std::string& reason) {
    return "Can't read file [" + path + "]: " + reason + eol;
}
inline std::string cannot_write(const std::string& path, const std::string& reason) {
    return "Can't write file [" + path + "]: " + reason + eol;
}
inline std::string cannot_write_stdout(const std::string& reason) {
    return "Can't write standard output: " + reason + eol;
}
// The note after the text when a Ctrl-Z ended the input with bytes after it.
inline std::string ctrl_z_note(std::size_t offset, std::size_t after) {
    return "Input ends at a Ctrl-Z byte at offset " + std::to_string(offset) + "; " +
           (after == 1 ? std::string("1 byte after it was") : std::to_string(after) + " bytes after it were") +
           " not decoded" + eol;
}
inline std::string ctrl_z_note_uncounted(std::size_t offset) {
    return "Input ends at a Ctrl-Z byte at offset " + std::to_string(offset) + "; what follows it was not decoded" +
           eol;
}
inline std::string no_memory(const std::string& path) { return "Not enough memory to decode file [" + path + "]" + eol; }

}  // namespace quenlo_test
