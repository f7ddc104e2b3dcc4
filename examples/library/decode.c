/* Decodes a file of HTML form data to standard output with libquenlo's C
   interface, a piece at a time, as a program that streams its input would.

       decode-c FILE

   Build it against the installed library with pkg-config:
       cc -std=c99 decode.c $(pkg-config --cflags --libs quenlo) -o decode-c */
#include <quenlo/quenlo.h>

#include <stdio.h>
#include <stdlib.h>

/* An odd size, so that escapes and CR LF pairs fall across pieces. */
enum { piece_size = 4093 };

int main(int argc, char **argv) {
    static unsigned char piece[piece_size];
    quenlo_state state = {0};
    unsigned char *text;
    size_t got, written;
    int error = QUENLO_OK;
    FILE *in;

    if (argc != 2) {
        fputs("usage: decode-c FILE\n", stderr);
        return 2;
    }
    in = fopen(argv[1], "rb");
    if (in == NULL) {
        perror(argv[1]);
        return 1;
    }
    text = malloc(quenlo_decode_bound(piece_size));
    if (text == NULL) {
        fputs("decode-c: out of memory\n", stderr);
        return 1;
    }
    fprintf(stderr, "libquenlo %s, kernel %s\n", quenlo_version(), quenlo_kernel());

    while (error == QUENLO_OK && (got = fread(piece, 1, sizeof piece, in)) > 0) {
        error = quenlo_decode(&state, piece, got, text, &written);
        if (error == QUENLO_OK) fwrite(text, 1, written, stdout);
    }
    if (error == QUENLO_OK) {
        /* The end of the input: an escape cut off there is written as it stands. */
        error = quenlo_finish(&state, text, &written);
        if (error == QUENLO_OK) fwrite(text, 1, written, stdout);
    }
    if (error != QUENLO_OK) {
        fprintf(stderr, "decode-c: quenlo error %d\n", error);
        return 1;
    }
    if (ferror(in) || fclose(in) != 0) {
        perror(argv[1]);
        return 1;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("decode-c: standard output");
        return 1;
    }
    free(text);
    return 0;
}
