// The platform layer: the few operating-system calls the program makes (the
// command line, paths as messages show them, files, where threads run), in
// one small interface that each platform supplies its own side of
// (fileio_posix.cpp, fileio_win32.cpp). The calls that can fail return 0 or
// the system's error code; a caller that ignores one says why.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quenlo::io {

#ifdef _WIN32
using file_handle = void*;
#else
using file_handle = int;
#endif

enum class file_kind : unsigned char { other, regular, directory, fifo, block_device };

// Identity of an open file, for telling whether two handles are one file.
// A block device is known by its device number (volume 0), so that two
// device nodes for one disk are one file.
struct file_id {
    file_kind kind = file_kind::other;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    // Where the file's bytes are kept, as far as the system says (Linux): a
    // regular file is {volume, index}, a block device {0, its number}.
    struct store {
        std::uint64_t volume = 0;
        std::uint64_t index = 0;
        bool operator==(const store&) const = default;
    };
    static constexpr std::size_t max_stores = 8;
    // The stores holding these very bytes: the file itself, then, for a loop
    // device, what it reads and writes through, down a chain of loop devices.
    std::array<store, max_stores> same_bytes{};
    // The block devices holding the file system of a regular file among
    // same_bytes, each with its own same_bytes (a loop device's image file,
    // and the devices under that). Empty entries are all zero.
    std::array<store, max_stores> holders{};
};

// The command line, program name first: `count` arguments in `values`. On
// Windows it is split from the UTF-16 command line and each argument kept in
// UTF-8 (in `pointers` and `text`), so that every file name, in any script, reaches
// open_input and open_output intact; elsewhere it is argv itself. Taking it
// allocates nothing that can throw: where memory is too short even for that,
// the program still starts and says so (Windows falls back to argv then).
struct command_line {
    int count = 0;
    char** values = nullptr;
    std::unique_ptr<char*[]> pointers;
    std::unique_ptr<char[]> text;
};
[[nodiscard]] command_line arguments(int argc, char* argv[]) noexcept;

// A path from arguments() as messages show it: on Windows in the ANSI code page
// (Shift_JIS on a Japanese system, like the program's Japanese message);
// elsewhere unchanged, byte for byte.
[[nodiscard]] std::string display_path(const char* path);
// Writes `path` to standard error as display_path shows it, or as given where
// memory for showing it is short. Never throws.
void report_path(const char* path) noexcept;

// Whether standard error is a terminal where a person reads the messages,
// and which text it shows.
enum class error_terminal : unsigned char {
    none,   // a file, a pipe, or nothing: scripts read the bytes there
    utf8,   // a terminal whose locale is UTF-8; on Windows any console (its UTF-16 API)
    other,  // a terminal in another encoding
};
[[nodiscard]] error_terminal standard_error_terminal();
// Shows UTF-8 `text` on standard error, a terminal that standard_error_terminal()
// finds `utf8`; "\n" ends a line there, as the system ends lines. False, with
// nothing shown, when the terminal refuses it.
[[nodiscard]] bool show_on_terminal(std::string_view text);

// Whether a file or directory is there under `path` (a dangling symbolic
// link included): the program's two words, --help and --version, are asked
// of it only when no file has the name.
[[nodiscard]] bool name_exists(const char* path);

// Makes sure the three standard handles are open, so that a file opened later
// can never take the place of a closed one (output then fails to write).
// open_input and open_output refuse what is only such a stand-in (a closed
// standard input named as /dev/stdin), as if the path could not be opened.
void guard_standard_handles();

[[nodiscard]] file_handle standard_output();

[[nodiscard]] int open_input(const char* path, file_handle& handle);
// Opens for writing, created when missing; an existing file keeps its content
// until truncate_output: the caller checks identity first.
[[nodiscard]] int open_output(const char* path, file_handle& handle);
[[nodiscard]] int truncate_output(file_handle handle);
[[nodiscard]] int identify(file_handle handle, file_id& id);
// The size of a regular file, in bytes.
[[nodiscard]] int file_size(file_handle handle, std::uint64_t& size);
// Whether `handle` is a terminal (a console on Windows): a person typing, whom
// nothing should wait for.
[[nodiscard]] bool is_terminal(file_handle handle);

// Reads up to `size` bytes; `got` is 0 only at the end of the input.
[[nodiscard]] int read_some(file_handle handle, unsigned char* buffer, std::size_t size,
                            std::size_t& got);
// Reads up to `size` bytes from `offset` bytes into a file, without moving
// where read_some reads on POSIX systems (Windows moves it); `got` is 0 only
// past the end. Threads may read one handle this way at the same time.
[[nodiscard]] int read_at(file_handle handle, std::uint64_t offset, unsigned char* buffer,
                          std::size_t size, std::size_t& got);
// Where read_some reads next, in bytes from the start of the file.
[[nodiscard]] int position(file_handle handle, std::uint64_t& offset);
// Moves where read_some reads next to `offset` bytes into the file.
[[nodiscard]] int set_position(file_handle handle, std::uint64_t offset);
// Writes all of `data`, resuming after interruptions and short writes.
[[nodiscard]] int write_all(file_handle handle, const unsigned char* data, std::size_t size);
[[nodiscard]] int close_file(file_handle handle);

// Processors this process may run on (its affinity, where the system has
// one); at least 1.
[[nodiscard]] unsigned usable_processors();
// Where the calling thread runs, counted among the usable processors; 0
// where the system does not say.
[[nodiscard]] unsigned current_processor();
// The system's number for the processor the calling thread runs on, or -1
// where it does not say. Cheap (current_processor asks the system for the
// usable ones too): for noticing that a thread has moved.
[[nodiscard]] int processor_number();
// Moves the calling thread onto usable processor `index` (modulo their
// count), then leaves it free to move again. Threads started together, or
// one woken by another, may otherwise share one processor for milliseconds
// before the scheduler spreads them. Best effort: where it cannot, nothing
// changes.
void start_on_processor(unsigned index);

// Has the system hand out the memory of [p, p + n) now, as writing to every
// page would: where it hands pages out on first use, a shortage then shows
// here, not later. Linux does it in one call (fault by fault a page costs
// microseconds on a virtual machine); other systems that hand pages out
// late are written to page by page; Windows commits memory when it is
// allocated. False when the memory cannot be had.
[[nodiscard]] bool take_pages(unsigned char* p, std::size_t n);

// The system's text for an error code returned above.
[[nodiscard]] std::string error_text(int code);

// Calls `raw(data, size, error)` until everything is written. `raw` returns
// the count written, or -1 with the error in `error`. Shared by each
// platform's write_all, and the seam through which its retry logic is tested.
template <class RawWrite>
[[nodiscard]] int write_fully(RawWrite&& raw, const unsigned char* data, std::size_t size,
                              int interrupted) {
    while (size > 0) {
        int error = 0;
        const long long n = raw(data, size, error);
        if (n < 0) {
            if (error == interrupted) continue;
            return error;
        }
        if (n == 0) return -1;  // no progress and no error: never loop forever
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Calls `raw(buffer, size, error)` until it reads or fails for another reason
// than an interruption. `raw` returns the count read (0 at the end), or -1
// with the error in `error`. Used by the POSIX read_some (Windows reads are
// never interrupted), and the seam through which its retry logic is tested.
template <class RawRead>
[[nodiscard]] int read_retrying(RawRead&& raw, unsigned char* buffer, std::size_t size,
                                std::size_t& got, int interrupted) {
    for (;;) {
        int error = 0;
        const long long n = raw(buffer, size, error);
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return 0;
        }
        if (error != interrupted) return error;
    }
}

}  // namespace quenlo::io
