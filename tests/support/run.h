// Runs the built program as a user would, with its standard handles redirected.
// run.cpp is the POSIX side, run_win32.cpp the Windows side; paths are UTF-8.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quenlo_test {

#ifdef _WIN32
inline constexpr const char* null_device = "NUL";
#else
inline constexpr const char* null_device = "/dev/null";
#endif

struct run_options {
    std::string stdin_path = null_device;
    std::string stdout_path;  // empty: standard output is captured
    bool stdout_append = false;
    bool close_stdout = false;  // on Windows: no standard output handle at all
    bool close_stdin = false;   // POSIX only
    bool close_stderr = false;  // POSIX only; nothing is captured then
    std::string stderr_path;    // POSIX only: when not empty, standard error goes there, uncaptured
    std::vector<std::string> env;  // POSIX only: NAME=VALUE entries added to the environment
    std::size_t address_space_kib = 0;  // POSIX only: when not 0, the program's limit (ulimit -v)
    std::size_t stack_kib = 0;          // POSIX only, with address_space_kib: its stack's (ulimit -s)
    std::string cgroup;                 // Linux only: a cgroup directory the program runs in
    bool one_processor = false;  // Linux only: the program may run on one processor alone (taskset)
    // POSIX only: open descriptors that become the program's standard input
    // or output instead (-1: stdin_path, stdout_path or capture).
    int stdin_fd = -1;
    int stdout_fd = -1;
    bool ignore_sigpipe = false;  // POSIX only: SIGPIPE ignored, as some shells leave it
    int timeout_seconds = 0;      // when not 0, a program still running then is killed: status -2
};

struct run_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // captured standard output (empty when redirected elsewhere)
    std::string err;  // standard error
};

struct temp_dir;

// A program started and not yet waited for.
struct started_quenlo {
    std::intptr_t process = -1;  // the pid on POSIX, the process handle on Windows; -1: not started
    run_options options;
    std::shared_ptr<temp_dir> capture;  // where its standard output and error go
};

// Starts the program; the caller feeds or drains it, then waits.
started_quenlo start_quenlo(const std::vector<std::string>& args, const run_options& options = {});
run_result wait_quenlo(started_quenlo& program);
// Both at once.
run_result run_quenlo(const std::vector<std::string>& args, const run_options& options = {});

// A fresh directory, removed with everything in it when the object goes.
struct temp_dir {
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string path;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// A UTF-8 test path as the file system library takes it, on every system.
inline std::filesystem::path fs_path(const std::string& utf8) {
    return std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size());
}

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool exists(const std::string& path);

}  // namespace quenlo_test
