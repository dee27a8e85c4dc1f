/* A heap overflow behind a three-byte guess, for tools/fuzz to find first: if it does not, its
   set-up (coverage guidance, the sanitizer runtime) cannot be trusted to find anything. */
#include <stdlib.h>
#include <string.h>

int canary(const unsigned char *data, size_t size) {
    if (size < 4 || data[0] != 'K' || data[1] != 'L' || data[2] != 'V') return 0;
    char *copy = malloc(3);
    memcpy(copy, data, 3);
    const int past = copy[size - 1]; /* size >= 4: past the end */
    free(copy);
    return past;
}
