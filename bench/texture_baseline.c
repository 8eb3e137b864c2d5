/* Floor for bench/texture_bench.py: the bare stb calls of the texture
 * workload with no Python around them. For each input image: decode once,
 * then for each region copy it bottom row first (dropping alpha for JPEG),
 * encode PNG into memory and write it with one fwrite, or stream the JPEG
 * to the file through a write callback.
 *
 * usage: texture_baseline OUTDIR QUALITY IMAGE X0,Y0,X1,Y1 [X0,Y0,X1,Y1 ...] [-- IMAGE ...]
 * Prints the CPU seconds and the wall seconds spent decoding and saving
 * (file reading excluded). */
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_ONLY_GIF
#define STBI_ONLY_PIC
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb_image.h>
#include <stb_image_write.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void write_cb(void* ctx, void* data, int size) {
    if (ctx && data && size > 0) fwrite(data, 1, (size_t)size, (FILE*)ctx);
}

static int save(const unsigned char* px, int width, int height, int channels, int x0, int y0,
                int x1, int y1, const char* path, int as_png, int quality) {
    int w = x1 - x0, h = y1 - y0, k = as_png ? channels : (channels == 2 ? 1 : channels == 4 ? 3 : channels);
    unsigned char* buf = malloc((size_t)w * h * k);
    if (!buf) return 0;
    for (int i = 0; i < h; ++i) {
        const unsigned char* src = px + ((size_t)(y1 - 1 - i) * width + x0) * channels;
        unsigned char* dst = buf + (size_t)i * w * k;
        if (k == channels) {
            memcpy(dst, src, (size_t)w * k);
        } else {
            for (int x = 0; x < w; ++x) memcpy(dst + (size_t)x * k, src + (size_t)x * channels, k);
        }
    }
    FILE* f = fopen(path, "wb");
    int ok = 0;
    if (f) {
        if (as_png) {
            int len = 0;
            unsigned char* png = stbi_write_png_to_mem(buf, w * k, w, h, k, &len);
            if (png) {
                if (len > 0) fwrite(png, 1, (size_t)len, f);
                free(png);
                ok = 1;
            }
        } else {
            ok = stbi_write_jpg_to_func(write_cb, f, w, h, k, buf, quality);
        }
        fclose(f);
    }
    free(buf);
    return ok;
}

static unsigned char* slurp(const char* path, long* len) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    *len = ftell(f);
    fseek(f, 0, SEEK_SET);
    unsigned char* data = malloc((size_t)*len);
    if (data && fread(data, 1, (size_t)*len, f) != (size_t)*len) { free(data); data = NULL; }
    fclose(f);
    return data;
}

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    stbi_write_png_compression_level = 1;
    const char* outdir = argv[1];
    const int quality = atoi(argv[2]);
    /* Read every input first so that only decoding and saving are timed. */
    unsigned char* inputs[16];
    long lens[16];
    int n_inputs = 0;
    for (int a = 3; a < argc; ++a) {
        if (a == 3 || strcmp(argv[a - 1], "--") == 0) {
            if (n_inputs == 16 || !(inputs[n_inputs] = slurp(argv[a], &lens[n_inputs]))) return 3;
            ++n_inputs;
        }
    }
    struct timespec t0, t1, c0, c1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
    int failures = 0, input = -1, saved = 0;
    int width = 0, height = 0, channels = 0;
    unsigned char* px = NULL;
    char path[4096];
    for (int a = 3; a < argc; ++a) {
        if (strcmp(argv[a], "--") == 0) continue;
        if (a == 3 || strcmp(argv[a - 1], "--") == 0) {
            stbi_image_free(px);
            ++input;
            px = stbi_load_from_memory(inputs[input], (int)lens[input], &width, &height, &channels, 0);
            if (!px) return 4;
            continue;
        }
        int x0, y0, x1, y1;
        if (sscanf(argv[a], "%d,%d,%d,%d", &x0, &y0, &x1, &y1) != 4) return 5;
        for (int as_png = 1; as_png >= 0; --as_png) {
            snprintf(path, sizeof path, "%s/c_%d.%s", outdir, saved++, as_png ? "png" : "jpg");
            failures += !save(px, width, height, channels, x0, y0, x1, y1, path, as_png, quality);
        }
    }
    stbi_image_free(px);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    for (int i = 0; i < n_inputs; ++i) free(inputs[i]);
    printf("%.6f %.6f\n", (double)(c1.tv_sec - c0.tv_sec) + (c1.tv_nsec - c0.tv_nsec) * 1e-9,
           (double)(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) * 1e-9);
    return failures ? 6 : 0;
}
