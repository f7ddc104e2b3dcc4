// The file layer on POSIX systems: descriptors, retried on interruption.
#include "fileio.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quenlo::io {

std::vector<std::string> arguments(int argc, char* argv[]) { return {argv, argv + argc}; }

std::string display_path(const char* path) { return path; }

void guard_standard_handles() {
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat st;
        if (fstat(fd, &st) == 0 || errno != EBADF) continue;
        // Read-only: writes to a standard handle that was closed still fail.
        const int fill = open("/dev/null", O_RDONLY);
        if (fill >= 0 && fill != fd) close(fill);
    }
}

file_handle standard_output() { return STDOUT_FILENO; }

int open_input(const char* path, file_handle& handle) {
    do handle = open(path, O_RDONLY | O_CLOEXEC);
    while (handle < 0 && errno == EINTR);
    return handle < 0 ? errno : 0;
}

int open_output(const char* path, file_handle& handle) {
    do handle = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    while (handle < 0 && errno == EINTR);
    return handle < 0 ? errno : 0;
}

int truncate_output(file_handle handle) {
    struct stat st;
    if (fstat(handle, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return 0;  // devices and pipes have nothing to truncate
    while (ftruncate(handle, 0) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

int identify(file_handle handle, file_id& id) {
    struct stat st;
    if (fstat(handle, &st) != 0) return errno;
    id.regular = S_ISREG(st.st_mode);
    id.directory = S_ISDIR(st.st_mode);
    id.volume = static_cast<std::uint64_t>(st.st_dev);
    id.index = static_cast<std::uint64_t>(st.st_ino);
    return 0;
}

int read_some(file_handle handle, unsigned char* buffer, std::size_t size, std::size_t& got) {
    auto raw = [handle](unsigned char* p, std::size_t n, int& error) -> long long {
        const ssize_t r = read(handle, p, n > SSIZE_MAX ? SSIZE_MAX : n);
        if (r < 0) error = errno;
        return r;
    };
    return read_retrying(raw, buffer, size, got, EINTR);
}

int write_all(file_handle handle, const unsigned char* data, std::size_t size) {
    auto raw = [handle](const unsigned char* p, std::size_t n, int& error) -> long long {
        const ssize_t w = write(handle, p, n > SSIZE_MAX ? SSIZE_MAX : n);
        if (w < 0) error = errno;
        return w;
    };
    return write_fully(raw, data, size, EINTR);
}

int close_file(file_handle handle) {
    // Linux and the BSDs release the descriptor even when close reports
    // EINTR, so it is never retried; the error is reported like any other.
    return close(handle) == 0 ? 0 : errno;
}

std::string error_text(int code) { return code < 0 ? "Unknown error" : std::strerror(code); }

}  // namespace quenlo::io
