/* A clock for the end-to-end tests, loaded into the tool with LD_PRELOAD:
 * CLOCK_REALTIME reads AVR_EE_FAKE_TIME (seconds since the epoch), every
 * other clock the real one. libfaketime serves a native build only: it does
 * not export the 64-bit time calls that the 32-bit ARM build makes, so its
 * clock would go unfaked there.
 *
 * <time.h> stays out: with _TIME_BITS=64 it renames clock_gettime to
 * __clock_gettime64 on 32-bit targets, and this file defines both. Both take
 * a 64-bit timespec, the only kind the tool uses: a 64-bit target's own, and
 * a 32-bit one's __timespec64, whose 32-bit tv_nsec is followed by padding
 * that this zeroes too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>

enum { REALTIME = 0 }; /* CLOCK_REALTIME */

struct timespec64 {
    int64_t tv_sec;
    int64_t tv_nsec;
};

static int fake_or_real(const char* name, int clock, struct timespec64* ts)
{
    const char* set = getenv("AVR_EE_FAKE_TIME");
    if (clock != REALTIME || set == NULL) {
        int (*real)(int, struct timespec64*) = (int (*)(int, struct timespec64*))dlsym(RTLD_NEXT, name);
        return real ? real(clock, ts) : -1;
    }
    ts->tv_sec = strtoll(set, NULL, 10);
    ts->tv_nsec = 0;
    return 0;
}

int __clock_gettime64(int clock, struct timespec64* ts)
{
    return fake_or_real("__clock_gettime64", clock, ts);
}

int clock_gettime(int clock, struct timespec64* ts)
{
    return fake_or_real("clock_gettime", clock, ts);
}
