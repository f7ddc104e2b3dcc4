// The POSIX side of run.h: posix_spawn with redirected descriptors, temporary directories, files.
#include "run.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

extern char** environ;

namespace quenlo_test {

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quenlo-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    if (!f.flush()) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

started_quenlo start_quenlo(const std::vector<std::string>& args, const run_options& options) {
    started_quenlo program;
    program.options = options;
    program.capture = std::make_shared<temp_dir>();
    const std::string out_path = program.capture->file("out");
    const std::string err_path = program.capture->file("err");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.close_stdin)
        posix_spawn_file_actions_addclose(&actions, 0);
    else if (options.stdin_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.stdin_fd, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, options.stdin_path.c_str(), O_RDONLY, 0);
    if (options.close_stdout) {
        posix_spawn_file_actions_addclose(&actions, 1);
    } else if (options.stdout_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, options.stdout_fd, 1);
    } else {
        const int flags = O_WRONLY | O_CREAT | (options.stdout_append ? O_APPEND : O_TRUNC);
        const std::string& path = options.stdout_path.empty() ? out_path : options.stdout_path;
        posix_spawn_file_actions_addopen(&actions, 1, path.c_str(), flags, 0644);
    }
    if (options.close_stderr)
        posix_spawn_file_actions_addclose(&actions, 2);
    else if (!options.stderr_path.empty())
        posix_spawn_file_actions_addopen(&actions, 2, options.stderr_path.c_str(), O_WRONLY, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    // SIGPIPE at its default, or ignored: an ignored signal stays ignored
    // across exec, so the program inherits it from the thread that starts it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    if (!options.ignore_sigpipe) sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    if (options.ignore_sigpipe) sigaction(SIGPIPE, &ignore, &previous);

    // A limit or a cgroup is set by a shell that then becomes the program.
    std::vector<std::string> argv_strings{QUENLO_EXE};
    std::string prelude;
    if (options.address_space_kib != 0)
        prelude = (options.stack_kib != 0 ? "ulimit -s " + std::to_string(options.stack_kib) + " && " : "") +
                  "ulimit -v " + std::to_string(options.address_space_kib) + " && ";
    if (!options.cgroup.empty()) prelude += "echo $$ > '" + options.cgroup + "/cgroup.procs' && ";
    if (!prelude.empty()) argv_strings = {"/bin/sh", "-c", prelude + "exec \"$0\" \"$@\"", QUENLO_EXE};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    // The entries given replace any of the same name.
    std::vector<std::string> extra = options.env;
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry = *e;
        bool replaced = false;
        for (const auto& s : extra)
            replaced = replaced || entry.substr(0, entry.find('=') + 1) == s.substr(0, s.find('=') + 1);
        if (!replaced) envp.push_back(*e);
    }
    for (auto& s : extra) envp.push_back(s.data());
    envp.push_back(nullptr);

    // The program inherits the affinity of the thread that starts it.
    cpu_set_t all;
    const bool narrowed = options.one_processor && sched_getaffinity(0, sizeof all, &all) == 0;
    if (narrowed) {
        cpu_set_t one;
        CPU_ZERO(&one);
        int cpu = 0;
        while (!CPU_ISSET(cpu, &all)) ++cpu;
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one);
    }
    pid_t pid = 0;
    const int e = posix_spawn(&pid, argv_strings[0].c_str(), &actions, &attr, argv.data(), envp.data());
    if (narrowed) sched_setaffinity(0, sizeof all, &all);
    if (options.ignore_sigpipe) sigaction(SIGPIPE, &previous, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (e != 0) throw std::runtime_error("cannot start " QUENLO_EXE);
    program.process = pid;
    return program;
}

run_result wait_quenlo(started_quenlo& program) {
    run_result r;
    if (program.process < 0) return r;
    const auto pid = static_cast<pid_t>(program.process);
    program.process = -1;
    const run_options& options = program.options;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    int wstatus = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &wstatus, options.timeout_seconds != 0 ? WNOHANG : 0);
        if (done == pid) {
            r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            break;
        }
        if (done < 0 && errno != EINTR) break;
        if (options.timeout_seconds != 0 && std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            r.status = -2;
            break;
        }
        if (options.timeout_seconds != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (options.stdout_path.empty() && options.stdout_fd < 0 && !options.close_stdout)
        r.out = read_file(program.capture->file("out"));
    if (!options.close_stderr && options.stderr_path.empty()) r.err = read_file(program.capture->file("err"));
    return r;
}

run_result run_quenlo(const std::vector<std::string>& args, const run_options& options) {
    started_quenlo program = start_quenlo(args, options);
    return wait_quenlo(program);
}

}  // namespace quenlo_test
