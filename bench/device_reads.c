// Counts the bytes a program reads from one file (the examined card image or device), apart
// from what it reads from anything else (its own temporary files on the destination, its
// libraries): loaded with LD_PRELOAD, it adds up what read() and pread() return on descriptors
// that name $DEVICE_READS_PATH and prints "device-bytes N" on standard error when the program
// ends. Build: gcc -shared -fPIC -O2 -o device_reads.so device_reads.c -ldl
#define _GNU_SOURCE
#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static unsigned long long total;

static int names_device(int fd) {
    const char* want = getenv("DEVICE_READS_PATH");
    if (want == NULL)
        return 0;
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0)
        return 0;
    path[n] = 0;
    return strcmp(path, want) == 0;
}

static void count(int fd, ssize_t got) {
    if (got > 0 && names_device(fd))
        __atomic_add_fetch(&total, (unsigned long long)got, __ATOMIC_RELAXED);
}

ssize_t pread64(int fd, void* buf, size_t n, off_t at) {
    static ssize_t (*real)(int, void*, size_t, off_t);
    if (real == NULL)
        real = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
    const ssize_t got = real(fd, buf, n, at);
    count(fd, got);
    return got;
}

ssize_t pread(int fd, void* buf, size_t n, off_t at) { return pread64(fd, buf, n, at); }

ssize_t read(int fd, void* buf, size_t n) {
    static ssize_t (*real)(int, void*, size_t);
    if (real == NULL)
        real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    const ssize_t got = real(fd, buf, n);
    count(fd, got);
    return got;
}

__attribute__((destructor)) static void report(void) { fprintf(stderr, "device-bytes %llu\n", total); }
