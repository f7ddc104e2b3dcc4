// The floor: read the file in quenlo's block size, copy every byte once into a
// second buffer, write it to standard output. copy_floor FILE
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "convert.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const int in = ::open(argv[1], O_RDONLY);
    if (in < 0) {
        std::perror(argv[1]);
        return 1;
    }
    const std::size_t block = quenlo::read_size;
    const auto from = std::make_unique<char[]>(block);
    const auto to = std::make_unique<char[]>(block);
    for (;;) {
        const ssize_t got = ::read(in, from.get(), block);
        if (got < 0) return 1;
        if (got == 0) break;
        std::memcpy(to.get(), from.get(), static_cast<std::size_t>(got));
        for (ssize_t done = 0; done < got;) {
            const ssize_t w = ::write(1, to.get() + done, static_cast<std::size_t>(got - done));
            if (w <= 0) return 1;
            done += w;
        }
    }
    return ::close(in) == 0 ? 0 : 1;
}
