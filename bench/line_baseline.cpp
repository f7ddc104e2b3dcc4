// The straightforward decoder to beat: stdio line reads of up to 1023 bytes,
// a byte loop, stdio writes. Each read is decoded on its own, as simple
// line-at-a-time decoders do. line_baseline FILE
#include <cstdio>

namespace {

int hex(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    char line[1024];
    char out[2 * sizeof line];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        std::size_t o = 0;
        for (std::size_t i = 0; line[i] != '\0'; ++i) {
            const char c = line[i];
            if (c == '&' || c == '\n' || c == '\r') {
                if (c == '\r' && line[i + 1] == '\n') ++i;
                out[o++] = '\r';
                out[o++] = '\n';
            } else if (c == '+' || c == '\t') {
                out[o++] = ' ';
            } else if (c == '%' && hex(line[i + 1]) >= 0 && hex(line[i + 2]) >= 0) {
                out[o++] = static_cast<char>(hex(line[i + 1]) * 16 + hex(line[i + 2]));
                i += 2;
            } else {
                out[o++] = c;
            }
        }
        std::fwrite(out, 1, o, stdout);
    }
    std::fclose(in);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
