/* 32-bit x86 has no 64-bit division: gcc calls libgcc's helpers for it,
 * which neither gnu-efi nor a gcc without 32-bit libraries provides. The
 * readers divide 64-bit sizes and times, so the IA32 driver brings its own. */
#if defined(__i386__)
#include <stdint.h>

uint64_t __udivmoddi4(uint64_t n, uint64_t d, uint64_t* remainder);
uint64_t __udivdi3(uint64_t n, uint64_t d);
uint64_t __umoddi3(uint64_t n, uint64_t d);
int64_t __divdi3(int64_t n, int64_t d);
int64_t __moddi3(int64_t n, int64_t d);

/* Shift and subtract. The readers never divide by zero; should one, the
 * answer is all ones rather than a trap in the firmware. */
uint64_t __udivmoddi4(uint64_t n, uint64_t d, uint64_t* remainder) {
    uint64_t quotient = 0;
    if (d == 0) {
        if (remainder) *remainder = 0;
        return ~(uint64_t)0;
    }
    int shift = 0;
    while (!(d >> 63) && (d << 1) <= n) {
        d <<= 1;
        ++shift;
    }
    for (; shift >= 0; --shift) {
        quotient <<= 1;
        if (n >= d) {
            n -= d;
            quotient |= 1;
        }
        d >>= 1;
    }
    if (remainder) *remainder = n;
    return quotient;
}

uint64_t __udivdi3(uint64_t n, uint64_t d) { return __udivmoddi4(n, d, 0); }

uint64_t __umoddi3(uint64_t n, uint64_t d) {
    uint64_t remainder;
    __udivmoddi4(n, d, &remainder);
    return remainder;
}

static uint64_t Magnitude(int64_t v) { return v < 0 ? 0 - (uint64_t)v : (uint64_t)v; }

int64_t __divdi3(int64_t n, int64_t d) {
    const uint64_t q = __udivmoddi4(Magnitude(n), Magnitude(d), 0);
    return (n < 0) != (d < 0) ? (int64_t)(0 - q) : (int64_t)q;
}

int64_t __moddi3(int64_t n, int64_t d) {
    uint64_t remainder;
    __udivmoddi4(Magnitude(n), Magnitude(d), &remainder);
    return n < 0 ? (int64_t)(0 - remainder) : (int64_t)remainder;
}
#else
/* Nothing: other targets divide 64-bit numbers themselves. */
typedef int drovelkit_no_ia32_division;
#endif
