/* A clock for the end-to-end tests, loaded into the tool with LD_PRELOAD:
 * CLOCK_REALTIME reads AVR_EE_FAKE_TIME (seconds since the epoch), every
 * other clock the real one. libfaketime serves a native build only: it does
 * not export the 64-bit time calls that the 32-bit ARM build makes, so its
 * clock would go unfaked there.
 *
 * <time.h> stays out: with _TIME_BITS=64 it renames clock_gettime to
 * __clock_gettime64 on 32-bit targets, and this file defines both. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>

enum { REALTIME = 0 }; /* CLOCK_REALTIME */

/* The 64-bit timespec: time_t's on a 64-bit target, __timespec64 on a 32-bit
 * one, whose 32-bit tv_nsec is followed by padding that this zeroes too. */
struct timespec64 {
    int64_t tv_sec;
    int64_t tv_nsec;
};

/* The 32-bit target's own clock_gettime, with a 32-bit time_t. */
struct timespec32 {
    int32_t tv_sec;
    int32_t tv_nsec;
};

typedef int (*clock_call)(int, void*);

static int fake_seconds(int clock, int64_t* seconds)
{
    const char* set = getenv("AVR_EE_FAKE_TIME");
    if (clock != REALTIME || set == NULL)
        return 0;
    *seconds = strtoll(set, NULL, 10);
    return 1;
}

static int real_clock(const char* name, int clock, void* ts)
{
    clock_call next = (clock_call)dlsym(RTLD_NEXT, name);
    return next ? next(clock, ts) : -1;
}

int __clock_gettime64(int clock, struct timespec64* ts)
{
    int64_t seconds;
    if (!fake_seconds(clock, &seconds))
        return real_clock("__clock_gettime64", clock, ts);
    ts->tv_sec = seconds;
    ts->tv_nsec = 0;
    return 0;
}

int clock_gettime(int clock, void* ts)
{
    int64_t seconds;
    if (!fake_seconds(clock, &seconds))
        return real_clock("clock_gettime", clock, ts);
    if (sizeof(long) == 8) {
        struct timespec64* t = ts;
        t->tv_sec = seconds;
        t->tv_nsec = 0;
    } else {
        struct timespec32* t = ts;
        t->tv_sec = (int32_t)seconds;
        t->tv_nsec = 0;
    }
    return 0;
}
