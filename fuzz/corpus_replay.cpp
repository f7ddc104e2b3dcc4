// Replays fuzz corpora through the fuzz target, in builds without libFuzzer.
// It runs the target over every file of the given corpus directories, so
// that any build, with any compiler, checks the corpus on each test run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char* argv[]) {
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i)
        for (const auto& entry : std::filesystem::directory_iterator(argv[i]))
            if (entry.is_regular_file()) files.push_back(entry.path());
    if (files.empty()) {
        std::fprintf(stderr, "no corpus files found\n");  // a wrong path must not pass
        return 1;
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream f(path, std::ios::binary);
        const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(f)), {});
        if (!f.good() && !f.eof()) {
            std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
            return 1;
        }
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("%zu corpus files decoded and checked\n", files.size());
    return 0;
}
