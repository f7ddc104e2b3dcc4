// The Windows side of run.h: CreateProcessW with redirected handles, and
// UTF-8 test paths turned into the UTF-16 names that Windows takes.
#include "run.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace quenlo_test {
namespace {

std::string utf8(const std::filesystem::path& p) {
    const std::u8string s = p.u8string();
    return {reinterpret_cast<const char*>(s.data()), s.size()};
}

// Quotes one argument so that the child's command-line split gives it back unchanged.
std::wstring quote_argument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring q = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote, which is then escaped itself.
        q.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        q += c;
        backslashes = 0;
    }
    q.append(2 * backslashes, L'\\');
    return q + L"\"";
}

HANDLE open_inheritable(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE h = CreateFileW(fs_path(path).c_str(), access,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
    return h;
}

}  // namespace

temp_dir::temp_dir() {
    const auto base = std::filesystem::temp_directory_path();
    for (unsigned attempt = 0;; ++attempt) {
        const auto candidate = base / ("quenlo-test-" + std::to_string(GetCurrentProcessId()) +
                                       "-" + std::to_string(GetTickCount64()) + "-" +
                                       std::to_string(attempt));
        if (std::filesystem::create_directory(candidate)) {
            path = utf8(candidate);
            return;
        }
    }
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(fs_path(path), ignored);
}

// Through CreateFileW: the C++ streams of MinGW open names in the ANSI code page.
std::string read_file(const std::string& path) {
    HANDLE h = CreateFileW(fs_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string content;
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) content.append(buffer, n);
    CloseHandle(h);
    return content;
}

void write_file(const std::string& path, const std::string& content) {
    HANDLE h = CreateFileW(fs_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD n = 0;
    const bool ok = h != INVALID_HANDLE_VALUE &&
                    WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &n, nullptr) &&
                    n == content.size();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!ok) throw std::runtime_error("cannot write " + path + ", error " + std::to_string(GetLastError()));
}

bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(fs_path(path), ignored));
}

started_quenlo start_quenlo(const std::vector<std::string>& args, const run_options& options) {
    started_quenlo program;
    program.options = options;
    program.capture = std::make_shared<temp_dir>();
    const std::string out_path =
        options.stdout_path.empty() ? program.capture->file("out") : options.stdout_path;
    const std::string err_path = program.capture->file("err");

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = open_inheritable(options.stdin_path, GENERIC_READ, OPEN_EXISTING);
    // Append-only access, as a shell's ">>" gives.
    if (!options.close_stdout)
        startup.hStdOutput = options.stdout_append
                                 ? open_inheritable(out_path, FILE_APPEND_DATA, OPEN_ALWAYS)
                                 : open_inheritable(out_path, GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = open_inheritable(err_path, GENERIC_WRITE, CREATE_ALWAYS);

    std::wstring exe = fs_path(QUENLO_EXE).make_preferred().wstring();
    std::wstring command_line = quote_argument(exe);
    for (const auto& a : args) command_line += L" " + quote_argument(fs_path(a).wstring());

    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &process);
    for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        if (h != nullptr) CloseHandle(h);
    if (!started) throw std::runtime_error("cannot start " QUENLO_EXE);
    CloseHandle(process.hThread);
    program.process = reinterpret_cast<std::intptr_t>(process.hProcess);
    return program;
}

run_result wait_quenlo(started_quenlo& program) {
    run_result r;
    if (program.process == -1) return r;
    HANDLE process = reinterpret_cast<HANDLE>(program.process);
    program.process = -1;
    const run_options& options = program.options;
    const DWORD limit = options.timeout_seconds != 0 ? static_cast<DWORD>(options.timeout_seconds) * 1000 : INFINITE;
    if (WaitForSingleObject(process, limit) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        r.status = static_cast<int>(code);
    } else {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
        r.status = -2;
    }
    CloseHandle(process);
    if (options.stdout_path.empty() && !options.close_stdout) r.out = read_file(program.capture->file("out"));
    r.err = read_file(program.capture->file("err"));
    return r;
}

run_result run_quenlo(const std::vector<std::string>& args, const run_options& options) {
    started_quenlo program = start_quenlo(args, options);
    return wait_quenlo(program);
}

}  // namespace quenlo_test
