/* Baseline for bench/obj_text_bench.py: the plain way to write OBJ lines,
 * one snprintf call per row into one malloc'd buffer. Returns the number
 * of bytes written (or -1 when the buffer cannot be allocated). */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

long long vertex_lines(const double* p, long long n) {
    size_t cap = (size_t)n * 80 + 64, off = 0;
    char* buf = malloc(cap);
    if (!buf) return -1;
    for (long long i = 0; i < n; ++i) {
        int w = snprintf(buf + off, cap - off, "v %.6f %.6f %.6f\n", p[3 * i], p[3 * i + 1],
                         p[3 * i + 2]);
        if (w < 0 || off + (size_t)w >= cap) break;
        off += (size_t)w;
    }
    free(buf);
    return (long long)off;
}

long long face_lines(const int64_t* f, long long n) {
    size_t cap = (size_t)n * 40 + 64, off = 0;
    char* buf = malloc(cap);
    if (!buf) return -1;
    for (long long i = 0; i < n; ++i) {
        int w = snprintf(buf + off, cap - off, "f %lld %lld %lld\n", (long long)f[3 * i],
                         (long long)f[3 * i + 1], (long long)f[3 * i + 2]);
        if (w < 0 || off + (size_t)w >= cap) break;
        off += (size_t)w;
    }
    free(buf);
    return (long long)off;
}
