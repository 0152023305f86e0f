/* Preloaded by bench/shared.py into its workers: counts the flushes that
 * reach the C library (fsync, fdatasync, msync), so that the table can say
 * how often each store flushes a write; with kvbench_skip set (through
 * ctypes), a flush returns at once instead, to measure what the flushes
 * cost a store. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <sys/mman.h>
#include <unistd.h>

long kvbench_flushes;
int kvbench_skip;

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

int fsync(int fd)
{
    __atomic_add_fetch(&kvbench_flushes, 1, __ATOMIC_RELAXED);
    return kvbench_skip ? 0 : REAL(fsync)(fd);
}

int fdatasync(int fd)
{
    __atomic_add_fetch(&kvbench_flushes, 1, __ATOMIC_RELAXED);
    return kvbench_skip ? 0 : REAL(fdatasync)(fd);
}

int msync(void *address, size_t length, int flags)
{
    /* An msync without MS_SYNC writes nothing to the disk and waits for nothing. */
    if (flags & MS_SYNC) {
        __atomic_add_fetch(&kvbench_flushes, 1, __ATOMIC_RELAXED);
        if (kvbench_skip) {
            return 0;
        }
    }
    return REAL(msync)(address, length, flags);
}
