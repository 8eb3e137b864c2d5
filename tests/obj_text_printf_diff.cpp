// Compares the OBJ number writers with the C library's snprintf("%.6f") and
// snprintf("%lld") over random doubles of every kind (any bit pattern, NaN
// payloads, subnormals, ties, values near ties and near the exact path's
// limit) and random int64. Built and run by tests/test_obj_text.py, once
// for each digit writer (-DTSR_PORTABLE_DIGITS for the table of pairs).
//
//     obj_text_printf_diff SEED COUNT   -> prints "ok" or the first mismatches
#include "obj_text/obj_text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

using namespace tsr::objtext;

namespace {

long failures = 0;

void check_double(double x) {
    char got[kMaxFixed6 + 16];
    char want[kMaxFixed6 + 16];
    *write_fixed6(got, x) = '\0';
    std::snprintf(want, sizeof want, "%.6f", x);
    if (std::strcmp(got, want) != 0 && failures++ < 10) {
        std::printf("double %a: got %s want %s\n", x, got, want);
    }
}

void check_int(std::int64_t v) {
    char got[kMaxInt64 + 16];
    char want[kMaxInt64 + 16];
    *write_int64(got, v) = '\0';
    std::snprintf(want, sizeof want, "%lld", static_cast<long long>(v));
    if (std::strcmp(got, want) != 0 && failures++ < 10) {
        std::printf("int64 %lld: got %s\n", static_cast<long long>(v), got);
    }
}

double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    std::mt19937_64 gen(std::strtoull(argv[1], nullptr, 10));
    const long count = std::strtol(argv[2], nullptr, 10);
    std::uniform_real_distribution<double> decade(-12.0, 31.0);
    for (long i = 0; i < count; ++i) {
        const std::uint64_t r = gen();
        const double sign = (r >> 63) ? -1.0 : 1.0;
        double x;
        switch (i % 7) {
        case 0: x = from_bits(r); break;  // anything, NaN payloads included
        case 1: x = sign * std::pow(10.0, decade(gen)); break;
        case 2:  // dyadic rationals: exact ties at the seventh decimal and more
            x = std::ldexp(static_cast<double>(static_cast<std::int64_t>(r % (1ull << 41)) -
                                               (1ll << 40)),
                           -static_cast<int>(gen() % 64));
            break;
        case 3: {  // one ulp beside x.xxxxxx5
            const double tie =
                static_cast<double>(static_cast<std::int64_t>(r % 2000000000001ull) -
                                    1000000000000ll) / 1e6 + 5e-7;
            x = std::nextafter(tie, (gen() & 1) ? INFINITY : -INFINITY);
            break;
        }
        case 4:  // exponents around 2^44
            x = from_bits((r & 0x800FFFFFFFFFFFFFull) | ((1023ull + 34 + gen() % 20) << 52));
            break;
        case 5: x = from_bits(r & 0x800FFFFFFFFFFFFFull); break;  // subnormals
        default: x = sign * std::ldexp(static_cast<double>(r >> 11), -20); break;
        }
        check_double(x);
        check_int(static_cast<std::int64_t>(r) >> (gen() % 64));
    }
    const double special[] = {0.0, -0.0, INFINITY, -INFINITY,
                              std::numeric_limits<double>::quiet_NaN(),
                              -std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::denorm_min(),
                              std::numeric_limits<double>::max(),
                              -std::numeric_limits<double>::max(),
                              0.0078125, 5e-7, -5e-7, 9999999.9999995, 17592186044416.0};
    for (double x : special) check_double(x);
    const std::int64_t ints[] = {0, -1, 99999999, 100000000, 9999999999999999,
                                 10000000000000000, std::numeric_limits<std::int64_t>::min(),
                                 std::numeric_limits<std::int64_t>::max()};
    for (std::int64_t v : ints) check_int(v);
    if (failures == 0) std::puts("ok");
    return failures == 0 ? 0 : 1;
}
