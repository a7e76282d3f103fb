/* Preloaded into the program under test to make what it needs scarce:
 * with TROVANEX_FAIL_ALLOCATION=N, the process's Nth allocation (malloc,
 * calloc, realloc or an aligned one; operator new takes malloc's) fails as
 * if memory had run out; with TROVANEX_NO_UNNAMED_FILES set, files cannot
 * be made without a name (O_TMPFILE), as on a file system that has none.
 * With TROVANEX_COUNT_ALLOCATIONS=FILE, the number of allocations made is
 * written to FILE at exit, so that a test knows how far to sweep. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static atomic_long made;
static long failing = -1; /* -1: not read yet */

static int fails(void)
{
    if (failing < 0) {
        /* getenv takes no memory. */
        const char* n = getenv("TROVANEX_FAIL_ALLOCATION");
        failing = n != NULL ? atol(n) : 0;
    }
    if (atomic_fetch_add(&made, 1) + 1 != failing)
        return 0;
    errno = ENOMEM;
    return 1;
}

void* malloc(size_t n)
{
    return fails() ? NULL : __libc_malloc(n);
}

void* calloc(size_t n, size_t size)
{
    return fails() ? NULL : __libc_calloc(n, size);
}

void* realloc(void* p, size_t n)
{
    return fails() ? NULL : __libc_realloc(p, n);
}

void* memalign(size_t alignment, size_t n)
{
    return fails() ? NULL : __libc_memalign(alignment, n);
}

void* aligned_alloc(size_t alignment, size_t n)
{
    return fails() ? NULL : __libc_memalign(alignment, n);
}

int posix_memalign(void** p, size_t alignment, size_t n)
{
    if (fails())
        return ENOMEM;
    *p = __libc_memalign(alignment, n);
    return *p != NULL ? 0 : ENOMEM;
}

static int opened(int dir, const char* path, int flags, va_list rest)
{
    const mode_t mode = (flags & (O_CREAT | __O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
    if ((flags & __O_TMPFILE) == __O_TMPFILE && getenv("TROVANEX_NO_UNNAMED_FILES") != NULL) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return (int)syscall(SYS_openat, dir, path, flags, mode);
}

int open(const char* path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = opened(AT_FDCWD, path, flags, rest);
    va_end(rest);
    return fd;
}

int open64(const char* path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = opened(AT_FDCWD, path, flags, rest);
    va_end(rest);
    return fd;
}

__attribute__((destructor)) static void write_count(void)
{
    const char* path = getenv("TROVANEX_COUNT_ALLOCATIONS");
    if (path == NULL)
        return;
    FILE* file = fopen(path, "w");
    if (file != NULL) {
        fprintf(file, "%ld\n", atomic_load(&made));
        fclose(file);
    }
}
