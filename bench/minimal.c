/* The baseline: the same I/O as one allocation run of avr_ee, in plain C,
 * with no error handling beyond what keeps it from lying. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/magic.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

static void on_alarm(int signo)
{
    (void)signo;
}

/* The same bounded wait: a blocking lock cut off by a timer on the monotonic
 * clock that signals this thread, with the signal unblocked meanwhile. */
static int wait_for_lock(int fd)
{
    struct sigaction sa = {.sa_handler = on_alarm};
    sigset_t alarm, saved;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    struct sigevent ev = {.sigev_notify = SIGEV_THREAD_ID, .sigev_signo = SIGALRM, ._sigev_un._tid = gettid()};
    struct itimerspec when = {.it_value.tv_sec = 10, .it_interval.tv_nsec = 10000000};
    struct timespec start;
    timer_t timer;
    if (sigaction(SIGALRM, &sa, NULL) != 0 || pthread_sigmask(SIG_UNBLOCK, &alarm, &saved) != 0 ||
        clock_gettime(CLOCK_MONOTONIC, &start) != 0 || timer_create(CLOCK_MONOTONIC, &ev, &timer) != 0)
        return -1;
    timer_settime(timer, 0, &when, NULL);
    int locked = flock(fd, LOCK_EX);
    timer_delete(timer);
    pthread_sigmask(SIG_SETMASK, &saved, NULL);
    return locked;
}

int main(void)
{
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    time_t now = time(NULL);
    struct tm local;
    if (localtime_r(&now, &local) == NULL || now < 1796637600)
        return 2;

    int out = fcntl(1, F_GETFL), err = fcntl(2, F_GETFL);
    if (out < 0 || (out & O_ACCMODE) == O_RDONLY || err < 0 || (err & O_ACCMODE) == O_RDONLY || isatty(2))
        return 2;

    int fd = open("/var/qv-production/mac", O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 2;
    struct statfs fs;
    struct flock whole = {.l_type = F_WRLCK, .l_whence = SEEK_SET};
    if (fstatfs(fd, &fs) != 0 || (flock(fd, LOCK_EX | LOCK_NB) != 0 && wait_for_lock(fd) != 0) ||
        (fs.f_type != NFS_SUPER_MAGIC && fcntl(fd, F_OFD_SETLK, &whole) != 0))
        return 2;
    struct stat named;
    if (stat("/var/qv-production/mac", &named) != 0 || named.st_ino != st.st_ino || named.st_dev != st.st_dev)
        return 2;
    char text[256];
    ssize_t n = read(fd, text, sizeof text - 1);
    if (n <= 0)
        return 2;
    text[n] = '\0';
    unsigned lower = (unsigned)strtoul(text, NULL, 16);
    if (lower > 0xffffff)
        return 2;
    ++lower;
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 8)
        return 2;
    char digits[9];
    snprintf(digits, sizeof digits, "%08x", lower);
    if (pwrite(fd, digits, 8, 0) != 8 || fdatasync(fd) != 0 || close(fd) != 0)
        return 2;

    unsigned char image[256];
    memset(image, 0xff, sizeof image);
    unsigned char mac[6] = {0x02, 0xc4, 0x7b, lower >> 16 & 0xff, lower >> 8 & 0xff, lower & 0xff};
    memcpy(image, mac, 6);
    image[0x91] = (unsigned char)(local.tm_mon + 1);
    image[0x92] = (unsigned char)local.tm_mday;
    image[0x93] = (unsigned char)((local.tm_year + 1900) >> 8);
    image[0x94] = (unsigned char)(local.tm_year + 1900);
    if (write(2, image, sizeof image) != sizeof image)
        return 1;
    static const char hex[] = "0123456789ABCDEF";
    char line[18];
    for (int i = 0; i < 6; ++i) {
        line[3 * i] = hex[mac[i] >> 4];
        line[3 * i + 1] = hex[mac[i] & 15];
        line[3 * i + 2] = i < 5 ? ':' : '\n';
    }
    if (write(1, line, sizeof line) != sizeof line || close(1) != 0)
        return 1;
    return 0;
}
