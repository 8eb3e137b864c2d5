/* Straightforward C reference for the OBJ extent scan and vertex shift:
 * read the whole file, find each line with memchr, copy a "v " line of 4..511
 * bytes into a 512-byte buffer, parse it with sscanf; for the shift, format
 * every parsed vertex with snprintf and write the result back over the file.
 * Usage: obj_file_baseline extent|shift PATH [DX DY DZ]
 * Prints the wall and CPU seconds the work took (read, scan, and for the shift
 * the write), then the result. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

static char* read_all(const char* path, size_t* n) {
    FILE* f = fopen(path, "rb");
    if (!f) { perror(path); exit(1); }
    fseek(f, 0, SEEK_END);
    long len = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* data = malloc(len ? (size_t)len : 1);
    if (!data || fread(data, 1, (size_t)len, f) != (size_t)len) { perror(path); exit(1); }
    fclose(f);
    *n = (size_t)len;
    return data;
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    int shift = strcmp(argv[1], "shift") == 0;
    double dx = argc > 3 ? atof(argv[3]) : 0, dy = argc > 4 ? atof(argv[4]) : 0,
           dz = argc > 5 ? atof(argv[5]) : 0;
    double t0 = now(CLOCK_MONOTONIC), c0 = now(CLOCK_PROCESS_CPUTIME_ID);
    size_t n;
    char* src = read_all(argv[2], &n);
    /* Room for every line to grow (the bench only shifts by small offsets). */
    size_t buf_size = shift ? n + n / 2 + 4096 : 0;
    char* buf = shift ? malloc(buf_size) : NULL;
    size_t out = 0, count = 0;
    int found = 0;
    double mn[3] = {0, 0, 0}, mx[3] = {0, 0, 0};
    char line_buf[512];
    size_t i = 0;
    while (i < n) {
        size_t line_start = i;
        const char* nl = memchr(src + i, '\n', n - i);
        size_t line_end = nl ? (size_t)(nl - src) : n;
        size_t line_len = line_end - line_start;
        int got = 0;
        double v[3];
        if (line_len >= 4 && line_len <= 511 && src[line_start] == 'v' && src[line_start + 1] == ' ') {
            memcpy(line_buf, src + line_start, line_len);
            line_buf[line_len] = 0;
            got = sscanf(line_buf, "v %lf %lf %lf", &v[0], &v[1], &v[2]);
        }
        if (got == 3) {
            if (shift) {
                out += (size_t)snprintf(buf + out, buf_size - out, "v %.6f %.6f %.6f\n",
                                        v[0] - dx, v[1] - dy, v[2] - dz);
                count++;
            } else if (!found) {
                for (int k = 0; k < 3; k++) mn[k] = mx[k] = v[k];
                found = 1;
            } else {
                for (int k = 0; k < 3; k++) {
                    if (mn[k] > v[k]) mn[k] = v[k];
                    else if (mx[k] < v[k]) mx[k] = v[k];
                }
            }
        } else if (shift) {
            memcpy(buf + out, src + line_start, line_len);
            out += line_len;
            if (line_end < n) buf[out++] = '\n';
        }
        if (line_end >= n) break;
        i = line_end + 1;
    }
    if (shift) {
        FILE* f = fopen(argv[2], "wb");
        if (!f || fwrite(buf, 1, out, f) != out || fclose(f) != 0) { perror(argv[2]); return 1; }
    }
    double t1 = now(CLOCK_MONOTONIC), c1 = now(CLOCK_PROCESS_CPUTIME_ID);
    if (shift)
        printf("%.6f %.6f %zu\n", t1 - t0, c1 - c0, count);
    else
        printf("%.6f %.6f %.17g %.17g %.17g %.17g %.17g %.17g\n", t1 - t0, c1 - c0, mn[0], mn[1],
               mn[2], mx[0], mx[1], mx[2]);
    free(buf);
    free(src);
    return 0;
}
