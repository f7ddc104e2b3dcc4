// Test seam, loaded into the program with LD_PRELOAD: makes system calls
// fail with EIO on one named file, or run slowly, to stage errors and timings
// that no file system here gives on demand (a close that fails, a read that
// fails mid-way, a write that fails while every worker is busy).
//   QUENLO_TEST_FAIL=CALL:NAME[:N][,CALL:NAME[:N]...]
// CALL is close, read, pread, write, ftruncate or pthread_create; NAME the
// file's last path component (ignored for pthread_create). For close, read
// and ftruncate, N calls on the file succeed first (default 0) and every
// later one fails; a failing close still releases the descriptor, as Linux
// does. For pread, N is a byte offset: every read of the file that would
// cover that byte fails. For write, only call number N (from 0) fails, so
// that a write after it shows. For pthread_create, call number N fails with
// EAGAIN, as when the system is out of threads.
//   QUENLO_TEST_SLOW=CALL:NAME:MS[,...]
// CALL is pread or write: each such call on the file waits MS milliseconds
// first. Closing a file while a pread of it is under way aborts the program:
// the input must be closed after every read.
//   QUENLO_TEST_CHANGE=NAME:AT:TEXT
// The file written while it is read: the first pread of NAME that reads byte
// AT, starting before it, sees the file as it is; every pread after it sees
// TEXT at AT (TEXT empty: the file ends at AT). A pread that starts at AT or
// later waits for that first one (up to five seconds), so the piece before
// AT always reads the file as it was.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

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

struct setting {
    std::string call, name;
    unsigned long long number = 0;
};

// The settings in `variable` for `call`.
std::vector<setting> settings_in(const char* variable, const char* call) {
    std::vector<setting> found;
    const char* value = getenv(variable);
    std::string s = value != nullptr ? value : "";
    while (!s.empty()) {
        const std::size_t comma = s.find(',');
        const std::string item = s.substr(0, comma);
        s = comma == std::string::npos ? "" : s.substr(comma + 1);
        const std::size_t first = item.find(':');
        if (first == std::string::npos || item.compare(0, first, call) != 0) continue;
        const std::size_t second = item.find(':', first + 1);
        setting one{call, item.substr(first + 1, second - first - 1)};
        if (second != std::string::npos) one.number = strtoull(item.c_str() + second + 1, nullptr, 10);
        found.push_back(one);
    }
    return found;
}

// The setting of `variable` for `call` on `fd`, if there is one.
bool setting_for(const char* variable, const char* call, int fd, setting& out) {
    for (const setting& one : settings_in(variable, call)) {
        if (fd >= 0 && !names_file(fd, one.name)) continue;
        out = one;
        return true;
    }
    return false;
}

// Whether this call of `call` on `fd` is one to fail; `seen` counts the calls
// on the named file; `once`: only call number N fails.
bool should_fail(const char* call, int fd, std::atomic<unsigned long long>& seen, bool once = false) {
    setting s;
    if (!setting_for("QUENLO_TEST_FAIL", call, fd, s)) return false;
    const unsigned long long n = seen++;
    return once ? n == s.number : n >= s.number;
}

void slow_down(const char* call, int fd) {
    setting s;
    if (!setting_for("QUENLO_TEST_SLOW", call, fd, s)) return;
    timespec pause{static_cast<time_t>(s.number / 1000), static_cast<long>(s.number % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {}
}

std::atomic<int> preads_under_way{0};

// QUENLO_TEST_CHANGE, read when the shim loads: before any thread starts,
// so that every thread sees it without a lock.
struct change {
    bool wanted = false;
    std::string name, text;
    unsigned long long at = 0;
};

change read_change() {
    change c;
    const char* value = getenv("QUENLO_TEST_CHANGE");
    const std::string s = value != nullptr ? value : "";
    const std::size_t first = s.find(':'), second = s.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) return c;
    c.name = s.substr(0, first);
    c.at = strtoull(s.c_str() + first + 1, nullptr, 10);
    c.text = s.substr(second + 1);
    c.wanted = true;
    return c;
}

const change file_change = read_change();
std::atomic<bool> file_changed{false};  // the first read of byte AT is over

// Shows the file as changed to a pread of `size` bytes at `offset` that got `r`.
ssize_t changed_view(const change& c, char* buffer, ssize_t r, unsigned long long offset) {
    if (r <= 0) return r;
    const unsigned long long end = offset + static_cast<unsigned long long>(r);
    if (c.text.empty()) return offset >= c.at ? 0 : static_cast<ssize_t>(std::min(end, c.at) - offset);
    for (unsigned long long i = std::max(offset, c.at); i < std::min(end, c.at + c.text.size()); ++i)
        buffer[i - offset] = c.text[i - c.at];
    return r;
}

template <class Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int close(int fd) {
    static std::atomic<unsigned long long> seen{0};
    setting s;
    if (preads_under_way.load() > 0 && setting_for("QUENLO_TEST_SLOW", "pread", fd, s)) {
        static const char message[] = "fail_shim: the input was closed while it was being read\n";
        static_cast<void>(real<ssize_t (*)(int, const void*, size_t)>("write")(2, message, sizeof message - 1));
        abort();
    }
    const bool fail = should_fail("close", fd, seen);
    const int r = real<int (*)(int)>("close")(fd);
    if (!fail) return r;
    errno = EIO;
    return -1;
}

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
    static std::atomic<unsigned long long> seen{0};
    if (should_fail("read", fd, seen)) {
        errno = EIO;
        return -1;
    }
    return real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, size);
}

extern "C" ssize_t pread64(int fd, void* buffer, size_t size, off_t offset) {
    ++preads_under_way;
    slow_down("pread", fd);
    setting s;
    ssize_t r = 0;
    if (size > 0 && setting_for("QUENLO_TEST_FAIL", "pread", fd, s) &&
        static_cast<unsigned long long>(offset) <= s.number &&
        s.number < static_cast<unsigned long long>(offset) + size) {
        errno = EIO;
        r = -1;
    } else {
        const change& c = file_change;
        const bool watched = c.wanted && names_file(fd, c.name);
        const auto from = static_cast<unsigned long long>(offset);
        for (int waited = 0; watched && from >= c.at && !file_changed && waited < 5000; ++waited) {
            timespec pause{0, 1000000L};
            nanosleep(&pause, nullptr);
        }
        r = real<ssize_t (*)(int, void*, size_t, off_t)>("pread64")(fd, buffer, size, offset);
        if (watched && file_changed) {
            r = changed_view(c, static_cast<char*>(buffer), r, from);
        } else if (watched && from < c.at && r > 0 && from + static_cast<unsigned long long>(r) > c.at) {
            file_changed = true;
        }
    }
    --preads_under_way;
    return r;
}

extern "C" ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
    return pread64(fd, buffer, size, offset);
}

extern "C" ssize_t write(int fd, const void* buffer, size_t size) {
    static std::atomic<unsigned long long> seen{0};
    slow_down("write", fd);
    if (should_fail("write", fd, seen, true)) {
        errno = EIO;
        return -1;
    }
    return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, buffer, size);
}

extern "C" int ftruncate(int fd, off_t length) {
    static std::atomic<unsigned long long> seen{0};
    if (should_fail("ftruncate", fd, seen)) {
        errno = EIO;
        return -1;
    }
    return real<int (*)(int, off_t)>("ftruncate")(fd, length);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    static std::atomic<unsigned long long> seen{0};
    if (should_fail("pthread_create", -1, seen, true)) return EAGAIN;
    return real<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>(
        "pthread_create")(thread, attr, start, arg);
}
