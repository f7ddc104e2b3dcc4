// The platform layer on POSIX systems: descriptors, retried on interruption.
#include "fileio.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/loop.h>     // LOOP_GET_STATUS64
#include <sched.h>          // sched_getaffinity
#include <sys/ioctl.h>
#include <sys/sysmacros.h>  // major, minor
#endif

namespace quenlo::io {

command_line arguments(int argc, char* argv[]) noexcept { return {argc, argv, nullptr, nullptr}; }

std::string display_path(const char* path) { return path; }

void report_path(const char* path) noexcept { std::fputs(path, stderr); }

error_terminal standard_error_terminal() {
    if (isatty(STDERR_FILENO) == 0) return error_terminal::none;
    // The user's character set, asked without changing the program's locale.
    const locale_t user = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (user == static_cast<locale_t>(nullptr)) return error_terminal::other;
    const char* codeset = nl_langinfo_l(CODESET, user);
    const bool utf8 = codeset != nullptr && (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0);
    freelocale(user);
    return utf8 ? error_terminal::utf8 : error_terminal::other;
}

bool show_on_terminal(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    return true;
}

bool name_exists(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

namespace {

// A stand-in for a closed standard handle: the read end of a pipe whose write
// end is closed, so it reads as empty and writes fail with EBADF, as on the
// closed handle. No path leads to it on any system: /proc/self/fd and /dev/fd
// reopen the pipe itself, which the check below recognises. /dev/null stays a
// file like any other. No standard handle is close-on-exec when a program
// starts (exec would have closed it), so that flag marks a stand-in without
// any state kept.
int make_stand_in() {
    int ends[2];
    if (pipe(ends) != 0) {
        // Out of descriptors system-wide: /dev/null still keeps the slots
        // filled, at the cost of refusing /dev/null by name.
        return open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    close(ends[1]);
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    return ends[0];
}

bool is_closed(int fd) { return fcntl(fd, F_GETFD) < 0 && errno == EBADF; }

bool same_inode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `handle` was opened through a path that leads only to the stand-in
// of a closed standard handle.
bool is_stand_in(file_handle handle) {
    struct stat opened;
    if (fstat(handle, &opened) != 0) return false;
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat standard;
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) != 0 && fstat(fd, &standard) == 0 &&
            same_inode(opened, standard))
            return true;
    }
    return false;
}

// Opens `path`, refusing a stand-in as if the path did not open.
int open_path(const char* path, int flags, file_handle& handle) {
    do handle = open(path, flags | O_CLOEXEC, 0666);
    while (handle < 0 && errno == EINTR);
    if (handle < 0) return errno;
    if (!is_stand_in(handle)) return 0;
    close(handle);
    handle = -1;
    return EBADF;
}

using store = file_id::store;

store device_store(dev_t device) { return {0, static_cast<std::uint64_t>(device)}; }
store file_store(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Adds `s` to `list` unless it is there already; false when the list is full.
bool add_store(std::array<store, file_id::max_stores>& list, store s) {
    for (store& at : list) {
        if (at == s) return true;
        if (at == store{}) {
            at = s;
            return true;
        }
    }
    return false;
}

#ifdef __linux__
std::string sysfs_block(dev_t device, const char* what) {
    return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)) + "/" + what;
}

// What loop device `fd` reads and writes through, asked of the device
// itself: no name is involved, so a backing file renamed, deleted under
// another link or named with a newline is still found.
bool loop_backing(int fd, store& next) {
    loop_info64 info{};
    if (ioctl(fd, LOOP_GET_STATUS64, &info) != 0) return false;
    next = info.lo_rdevice != 0 ? store{0, info.lo_rdevice} : store{info.lo_device, info.lo_inode};
    return true;
}

// Opens block device `device` read-only by its name under /dev, checking
// that the name leads to that device; -1 when it cannot.
int open_device(dev_t device) {
    const int events = open(sysfs_block(device, "uevent").c_str(), O_RDONLY | O_CLOEXEC);
    if (events < 0) return -1;
    char text[1024];
    const ssize_t n = read(events, text, sizeof text - 1);
    close(events);
    if (n <= 0) return -1;
    text[n] = 0;
    const char* name = std::strstr(text, "DEVNAME=");
    if (name == nullptr) return -1;
    name += std::strlen("DEVNAME=");
    const std::string path = "/dev/" + std::string(name, std::strcspn(name, "\n"));
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == device) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// The backing file's path as sysfs shows it, where the device cannot be
// opened (a user without access to it): cut at a newline in the name, and
// no longer leading to the file once that name is gone.
bool sysfs_backing(dev_t device, store& next) {
    const int fd = open(sysfs_block(device, "loop/backing_file").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char path[4097];
    const ssize_t n = read(fd, path, sizeof path - 1);
    close(fd);
    if (n <= 0) return false;
    path[n] = 0;
    path[std::strcspn(path, "\n")] = 0;
    struct stat backing;
    if (stat(path, &backing) != 0) return false;
    if (S_ISBLK(backing.st_mode)) next = device_store(backing.st_rdev);
    else if (S_ISREG(backing.st_mode)) next = file_store(backing);
    else return false;
    return true;
}

// What block device `device` (open as `fd`, or -1) reads and writes through,
// when it is a loop device.
bool device_backing(dev_t device, int fd, store& next) {
    if (access(sysfs_block(device, "loop").c_str(), F_OK) != 0) return false;
    if (fd >= 0 && loop_backing(fd, next)) return true;
    const int own = open_device(device);
    if (own >= 0) {
        const bool found = loop_backing(own, next);
        close(own);
        if (found) return true;
    }
    return sysfs_backing(device, next);
}
#else
bool device_backing(dev_t, int, store&) { return false; }
#endif

// Adds block device `device` (open as `fd`, or -1) to `list`, and what it
// reads and writes through, down the chain of loop devices.
void add_device_chain(dev_t device, int fd, std::array<store, file_id::max_stores>& list) {
    store at = device_store(device);
    while (add_store(list, at)) {
        store next;
        if (!device_backing(static_cast<dev_t>(at.index), fd, next) || !add_store(list, next)) return;
        if (next.volume != 0) return;  // a regular file: the chain ends
        at = next;
        fd = -1;
    }
}

// Fills in where the bytes of the file `st` (open as `fd`) are kept.
void find_stores(const struct stat& st, int fd, file_id& id) {
    if (S_ISBLK(st.st_mode))
        add_device_chain(st.st_rdev, fd, id.same_bytes);
    else
        add_store(id.same_bytes, file_store(st));
    // Every regular file met lives on a device: the device of its file
    // system, and what that device reads and writes through, hold it.
    for (std::size_t i = 0; i < 2 * file_id::max_stores; ++i) {
        const store s = i < file_id::max_stores ? id.same_bytes[i] : id.holders[i - file_id::max_stores];
        const auto on = static_cast<dev_t>(s.volume);
        if (s.volume != 0 && major(on) != 0)  // major 0: a file system on no device (tmpfs, proc)
            add_device_chain(on, -1, id.holders);
    }
}

}  // namespace

void guard_standard_handles() {
    if (!is_closed(0) && !is_closed(1) && !is_closed(2)) return;
    const int stand_in = make_stand_in();
    if (stand_in < 0) return;
    for (int fd = 0; fd <= 2; ++fd)
        if (fd != stand_in && is_closed(fd)) fcntl(stand_in, F_DUPFD_CLOEXEC, fd);  // lands on fd: it is free
    if (stand_in > 2) close(stand_in);
}

file_handle standard_output() { return STDOUT_FILENO; }

int open_input(const char* path, file_handle& handle) { return open_path(path, O_RDONLY, handle); }

int open_output(const char* path, file_handle& handle) {
    return open_path(path, O_WRONLY | O_CREAT, handle);
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
    id = {};
    if (S_ISBLK(st.st_mode)) {
        id.kind = file_kind::block_device;
        id.index = static_cast<std::uint64_t>(st.st_rdev);
        find_stores(st, handle, id);
        return 0;
    }
    id.kind = S_ISREG(st.st_mode)    ? file_kind::regular
              : S_ISDIR(st.st_mode)  ? file_kind::directory
              : S_ISFIFO(st.st_mode) ? file_kind::fifo
                                     : file_kind::other;
    id.volume = static_cast<std::uint64_t>(st.st_dev);
    id.index = static_cast<std::uint64_t>(st.st_ino);
    if (id.kind == file_kind::regular) find_stores(st, handle, id);
    return 0;
}

int file_size(file_handle handle, std::uint64_t& size) {
    struct stat st;
    if (fstat(handle, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    size = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

bool is_terminal(file_handle handle) { return isatty(handle) != 0; }

int read_some(file_handle handle, unsigned char* buffer, std::size_t size, std::size_t& got) {
    auto raw = [handle](unsigned char* p, std::size_t n, int& error) -> long long {
        const ssize_t r = read(handle, p, n > SSIZE_MAX ? SSIZE_MAX : n);
        if (r < 0) error = errno;
        return r;
    };
    return read_retrying(raw, buffer, size, got, EINTR);
}

int read_at(file_handle handle, std::uint64_t offset, unsigned char* buffer, std::size_t size,
            std::size_t& got) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EOVERFLOW;
    auto raw = [handle, offset](unsigned char* p, std::size_t n, int& error) -> long long {
        const ssize_t r = pread(handle, p, n > SSIZE_MAX ? SSIZE_MAX : n, static_cast<off_t>(offset));
        if (r < 0) error = errno;
        return r;
    };
    return read_retrying(raw, buffer, size, got, EINTR);
}

int position(file_handle handle, std::uint64_t& offset) {
    const off_t at = lseek(handle, 0, SEEK_CUR);
    if (at < 0) return errno;
    offset = static_cast<std::uint64_t>(at);
    return 0;
}

int set_position(file_handle handle, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EOVERFLOW;
    return lseek(handle, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
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

unsigned usable_processors() {
#ifdef __linux__
    // taskset and container limits narrow the affinity, not the count online.
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        return n > 0 ? static_cast<unsigned>(n) : 1u;
    }
#endif
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

unsigned current_processor() {
#ifdef __linux__
    cpu_set_t set;
    const int cpu = sched_getcpu();
    if (cpu < 0 || sched_getaffinity(0, sizeof set, &set) != 0) return 0;
    unsigned index = 0;
    for (int c = 0; c < cpu && c < CPU_SETSIZE; ++c) index += CPU_ISSET(c, &set) ? 1u : 0u;
    return index;
#else
    return 0;
#endif
}

int processor_number() {
#ifdef __linux__
    return sched_getcpu();
#else
    return -1;
#endif
}

void start_on_processor(unsigned index) {
#ifdef __linux__
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
    const int n = CPU_COUNT(&allowed);
    if (n < 2) return;
    unsigned skip = index % static_cast<unsigned>(n);
    int cpu = 0;
    while (cpu < CPU_SETSIZE && !(CPU_ISSET(cpu, &allowed) && skip-- == 0)) ++cpu;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    // Narrowing moves the thread at once; widening again leaves it there.
    if (sched_setaffinity(0, sizeof one, &one) == 0) sched_setaffinity(0, sizeof allowed, &allowed);
#else
    static_cast<void>(index);
#endif
}

bool take_pages(unsigned char* p, std::size_t n) {
    if (n == 0) return true;
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t begin = (at + page - 1) / page * page, end = (at + n) / page * page;
    if (begin < end) {
        if (madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0) {
            volatile unsigned char* v = p;
            v[0] = v[0];  // the partial pages at either end
            v[n - 1] = v[n - 1];
            return true;
        }
        if (errno == ENOMEM) return false;
        // EINVAL: a kernel before 5.14; touched below.
    }
#endif
    constexpr std::size_t smallest_page = 4096;
    volatile unsigned char* v = p;
    for (std::size_t i = 0; i < n; i += smallest_page) v[i] = 0;
    v[n - 1] = 0;
    return true;
}

std::string error_text(int code) { return code < 0 ? "Unknown error" : std::strerror(code); }

}  // namespace quenlo::io
