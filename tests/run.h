// Runs the built program as a user would, with its standard handles redirected.
#pragma once

#include <string>
#include <vector>

namespace quenlo_test {

struct run_options {
    std::string stdin_path = "/dev/null";
    std::string stdout_path;  // empty: standard output is captured
    bool stdout_append = false;
    bool close_stdout = false;
};

struct run_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // captured standard output (empty when redirected elsewhere)
    std::string err;  // standard error
};

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

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool exists(const std::string& path);

}  // namespace quenlo_test
