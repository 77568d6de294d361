// LD_PRELOAD helper for the late-stats-thread tests: the first thread a process creates (in
// Icecast 2.4, its stats thread) runs its start routine 300 ms late, as under heavy load.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

typedef int (*CreateFn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct Start {
    void* (*routine)(void*);
    void* arg;
};

static int firstPending = 1;

__attribute__((constructor)) static void setUp(void) {
    // The crash it provokes is wanted: no core file for it.
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    // With LATE_STATS_THREAD_ONCE=path only the process that creates that file is held back, as
    // under a passing load. Decided here: Icecast may drop root before it creates threads.
    const char* once = getenv("LATE_STATS_THREAD_ONCE");
    if (once) {
        int fd = open(once, O_CREAT | O_EXCL | O_WRONLY, 0600);
        if (fd < 0) firstPending = 0;
        else close(fd);
    }
}

static void* lateStart(void* p) {
    struct Start s = *(struct Start*)p;
    free(p);
    struct timespec left = {0, 300 * 1000 * 1000};
    while (nanosleep(&left, &left) != 0) {
    }
    fputs("late_stats_thread: first thread runs\n", stderr);
    return s.routine(s.arg);
}

// Exported despite the build's hidden default, or nothing is interposed.
__attribute__((visibility("default"))) int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*routine)(void*), void* arg) {
    static CreateFn real;
    if (!real) *(void**)&real = dlsym(RTLD_NEXT, "pthread_create");  // the POSIX idiom; a cast is not ISO C
    if (!real) return EAGAIN;
    if (__atomic_exchange_n(&firstPending, 0, __ATOMIC_SEQ_CST)) {
        struct Start* s = malloc(sizeof *s);
        if (s) {
            s->routine = routine;
            s->arg = arg;
            int rc = real(thread, attr, lateStart, s);
            if (rc != 0) free(s);
            // These lines let a test tell a server that was not held back from one that survived it.
            else fputs("late_stats_thread: first thread held back\n", stderr);
            return rc;
        }
    }
    return real(thread, attr, routine, arg);
}
