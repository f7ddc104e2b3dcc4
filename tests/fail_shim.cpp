// Test seam, loaded into the program with LD_PRELOAD: makes one system call
// fail with EIO on one named file, to stage errors that no file system here
// gives on demand (a close that fails, a read that fails mid-way).
//   QUENLO_TEST_FAIL=CALL:NAME[:AFTER]
// CALL is close, read or ftruncate; NAME the file's last path component;
// AFTER how many calls on it succeed first (default 0). A failing close still
// releases the descriptor, as Linux does.
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace {

bool names_file(int fd, const std::string& name) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    const std::string path(target, static_cast<std::size_t>(n));
    return path.size() >= name.size() + 1 &&
           path.compare(path.size() - name.size() - 1, std::string::npos, "/" + name) == 0;
}

// Whether this call of `call` on `fd` is the one to fail; `seen` counts the
// calls on the named file.
bool should_fail(const char* call, int fd, unsigned& seen) {
    const char* setting = getenv("QUENLO_TEST_FAIL");
    if (setting == nullptr) return false;
    const std::string s = setting;
    const std::size_t first = s.find(':');
    if (first == std::string::npos || s.compare(0, first, call) != 0) return false;
    const std::size_t second = s.find(':', first + 1);
    const std::string name = s.substr(first + 1, second - first - 1);
    const unsigned after =
        second == std::string::npos ? 0u : static_cast<unsigned>(atoi(s.c_str() + second + 1));
    if (!names_file(fd, name)) return false;
    return seen++ >= after;
}

template <class Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int close(int fd) {
    static unsigned seen = 0;
    const bool fail = should_fail("close", fd, seen);
    const int r = real<int (*)(int)>("close")(fd);
    if (!fail) return r;
    errno = EIO;
    return -1;
}

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
    static unsigned seen = 0;
    if (should_fail("read", fd, seen)) {
        errno = EIO;
        return -1;
    }
    return real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, size);
}

extern "C" int ftruncate(int fd, off_t length) {
    static unsigned seen = 0;
    if (should_fail("ftruncate", fd, seen)) {
        errno = EIO;
        return -1;
    }
    return real<int (*)(int, off_t)>("ftruncate")(fd, length);
}
