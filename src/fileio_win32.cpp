// The platform layer on Windows: UTF-16 names, handles, messages in the ANSI code page.
#include "fileio.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <new>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

namespace quenlo::io {
namespace {

// Every handle is shared in every way, so that opening the output while the
// input is open succeeds and the same-file check, not a sharing violation,
// decides when both are one file.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Kept well below what old consoles accept in one WriteFile.
constexpr std::size_t max_write = 32 * 1024;
constexpr std::size_t max_read = 1u << 30;

int last_error() {
    const DWORD e = GetLastError();
    return e == ERROR_SUCCESS ? static_cast<int>(ERROR_GEN_FAILURE) : static_cast<int>(e);
}

std::wstring to_wide(const char* text, UINT code_page) {
    const int size = static_cast<int>(std::strlen(text));
    if (size == 0) return {};
    const int n = MultiByteToWideChar(code_page, 0, text, size, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(code_page, 0, text, size, wide.data(), n);
    return wide;
}

std::string from_wide(const wchar_t* wide, UINT code_page) {
    const int size = static_cast<int>(std::wcslen(wide));
    if (size == 0) return {};
    const int n = WideCharToMultiByte(code_page, 0, wide, size, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(code_page, 0, wide, size, text.data(), n, nullptr, nullptr);
    return text;
}

bool is_disk_file(HANDLE handle) { return GetFileType(handle) == FILE_TYPE_DISK; }

}  // namespace

command_line arguments(int argc, char* argv[]) noexcept {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return {argc, argv, nullptr, nullptr};  // out of memory: the ANSI view
    std::size_t bytes = 0;
    for (int i = 0; i < count; ++i)
        bytes += static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0,
                                                              nullptr, nullptr));
    command_line args{count, nullptr,
                      std::unique_ptr<char*[]>(new (std::nothrow) char*[static_cast<std::size_t>(count) + 1]),
                      std::unique_ptr<char[]>(new (std::nothrow) char[bytes + static_cast<std::size_t>(count)])};
    if (args.pointers == nullptr || args.text == nullptr) {
        LocalFree(wide);
        return {argc, argv, nullptr, nullptr};
    }
    args.values = args.pointers.get();
    char* at = args.text.get();
    char* const end = at + bytes + static_cast<std::size_t>(count);
    for (int i = 0; i < count; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, at, static_cast<int>(end - at),
                                          nullptr, nullptr);
        args.values[i] = at;
        if (n <= 0) *at = '\0';  // not representable: an empty name, which no file has
        at += n > 0 ? n : 1;
    }
    args.values[count] = nullptr;
    LocalFree(wide);
    return args;
}

void report_path(const char* path) noexcept {
    try {
        const std::string shown = display_path(path);
        std::fwrite(shown.data(), 1, shown.size(), stderr);
    } catch (const std::bad_alloc&) {
        std::fputs(path, stderr);
    }
}

error_terminal standard_error_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? error_terminal::utf8 : error_terminal::none;
}

// Through the console's own UTF-16 API, which shows every script whatever
// the console's code page.
bool show_on_terminal(std::string_view text) {
    std::string lines;
    for (const char c : text) lines += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::wstring wide = to_wide(lines.c_str(), CP_UTF8);
    std::fflush(stderr);
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    for (const wchar_t* at = wide.data(); at < wide.data() + wide.size();) {
        DWORD written = 0;
        const auto left = static_cast<DWORD>(wide.data() + wide.size() - at);
        if (!WriteConsoleW(console, at, left < 8192 ? left : 8192, &written, nullptr) || written == 0)
            return at != wide.data();  // once part is shown, the rest is lost rather than shown twice
        at += written;
    }
    return true;
}

bool name_exists(const char* path) {
    return GetFileAttributesW(to_wide(path, CP_UTF8).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string display_path(const char* path) {
    // Characters that the code page lacks show as the system's best fit or '?'.
    return from_wide(to_wide(path, CP_UTF8).c_str(), CP_ACP);
}

// Windows never hands a standard handle's slot to a file opened later, and a
// missing standard output is a null handle that fails to write: nothing to do.
void guard_standard_handles() {}

// Decoded text goes out through WriteFile on the raw handle, never through the
// C runtime's text mode, so no CR is ever added before an LF.
file_handle standard_output() { return GetStdHandle(STD_OUTPUT_HANDLE); }

int open_input(const char* path, file_handle& handle) {
    // Backup semantics let a directory open, so that it is reported as a
    // read error, as on POSIX systems.
    handle = CreateFileW(to_wide(path, CP_UTF8).c_str(), GENERIC_READ, share_all, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return handle == INVALID_HANDLE_VALUE ? last_error() : 0;
}

int open_output(const char* path, file_handle& handle) {
    // Read-attributes access is what identify needs.
    handle = CreateFileW(to_wide(path, CP_UTF8).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                         share_all, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle == INVALID_HANDLE_VALUE ? last_error() : 0;
}

int truncate_output(file_handle handle) {
    if (!is_disk_file(handle)) return 0;  // devices and pipes have nothing to truncate
    const LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) || !SetEndOfFile(handle))
        return last_error();
    return 0;
}

int identify(file_handle handle, file_id& id) {
    id = {};
    if (!is_disk_file(handle)) return 0;  // consoles, pipes and devices
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        // A handle opened for appending only (cmd's ">>") may lack the right
        // to read attributes; a second handle to the same file has it.
        HANDLE again = ReOpenFile(handle, FILE_READ_ATTRIBUTES, share_all, 0);
        if (again == INVALID_HANDLE_VALUE) return last_error();
        const BOOL ok = GetFileInformationByHandle(again, &info);
        const int e = ok ? 0 : last_error();
        CloseHandle(again);
        if (!ok) return e;
    }
    id.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? file_kind::directory
                                                                     : file_kind::regular;
    id.volume = info.dwVolumeSerialNumber;
    // Unique per volume on NTFS and FAT (ReFS ids are 128-bit; this is their low half).
    id.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return 0;
}

int file_size(file_handle handle, std::uint64_t& size) {
    LARGE_INTEGER n{};
    if (!is_disk_file(handle) || !GetFileSizeEx(handle, &n)) return last_error();
    size = static_cast<std::uint64_t>(n.QuadPart);
    return 0;
}

bool is_terminal(file_handle handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

int read_some(file_handle handle, unsigned char* buffer, std::size_t size, std::size_t& got) {
    DWORD n = 0;
    got = 0;
    if (!ReadFile(handle, buffer, static_cast<DWORD>(size < max_read ? size : max_read), &n,
                  nullptr)) {
        // A pipe whose writer has finished is at its end, not in error.
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : last_error();
    }
    got = n;
    return 0;
}

int read_at(file_handle handle, std::uint64_t offset, unsigned char* buffer, std::size_t size,
            std::size_t& got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    got = 0;
    if (!ReadFile(handle, buffer, static_cast<DWORD>(size < max_read ? size : max_read), &n, &at)) {
        // A read at an offset past the end fails where a plain read gets nothing.
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : last_error();
    }
    got = n;
    return 0;
}

int position(file_handle handle, std::uint64_t& offset) {
    const LARGE_INTEGER zero{};
    LARGE_INTEGER at{};
    if (!SetFilePointerEx(handle, zero, &at, FILE_CURRENT)) return last_error();
    offset = static_cast<std::uint64_t>(at.QuadPart);
    return 0;
}

int set_position(file_handle handle, std::uint64_t offset) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(handle, to, nullptr, FILE_BEGIN) ? 0 : last_error();
}

int write_all(file_handle handle, const unsigned char* data, std::size_t size) {
    auto raw = [handle](const unsigned char* p, std::size_t n, int& error) -> long long {
        DWORD written = 0;
        if (!WriteFile(handle, p, static_cast<DWORD>(n < max_write ? n : max_write), &written,
                       nullptr)) {
            error = last_error();
            return -1;
        }
        return written;
    };
    // Windows has no interrupted system calls: -1 is never an error code here.
    return write_fully(raw, data, size, -1);
}

int close_file(file_handle handle) { return CloseHandle(handle) ? 0 : last_error(); }

unsigned usable_processors() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        unsigned n = 0;
        for (; process != 0; process &= process - 1) ++n;
        return n;
    }
    return 1;
}

unsigned current_processor() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    const DWORD cpu = GetCurrentProcessorNumber();
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || cpu >= 8 * sizeof process)
        return 0;
    return static_cast<unsigned>(std::popcount(process & ((DWORD_PTR{1} << cpu) - 1)));
}

int processor_number() { return static_cast<int>(GetCurrentProcessorNumber()); }

void start_on_processor(unsigned index) {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return;
    const auto n = static_cast<unsigned>(std::popcount(process));
    if (n < 2) return;
    DWORD_PTR rest = process;
    for (unsigned skip = index % n; skip > 0; --skip) rest &= rest - 1;
    // Narrowing moves the thread at once; widening again leaves it there.
    const DWORD_PTR before = SetThreadAffinityMask(GetCurrentThread(), rest & (~rest + 1));
    if (before != 0) SetThreadAffinityMask(GetCurrentThread(), before);
}

bool take_pages(unsigned char*, std::size_t) { return true; }

std::string error_text(int code) {
    if (code < 0) return "Unknown error";
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string s = n > 0 ? std::string(text, n) : "Error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    // System texts end in ". " or ".\r\n"; the message supplies its own line end.
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

}  // namespace quenlo::io
