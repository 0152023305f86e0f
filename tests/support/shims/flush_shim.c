/* Loaded with LD_PRELOAD into a child interpreter: counts the flushes that
 * reach the C library (fsync, fdatasync, msync) and, on request, makes the
 * next ones fail with a chosen errno, as a failing disk would. The test
 * reads and sets the counters through ctypes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <sys/mman.h>
#include <unistd.h>

long kvshim_flushes;   /* flushes seen so far */
long kvshim_pass_next; /* how many flushes go through before those that fail */
long kvshim_fail_next; /* how many of the next flushes fail */
int kvshim_fail_errno; /* the errno they fail with */

static int fails(void)
{
    ++kvshim_flushes;
    if (kvshim_pass_next > 0 && kvshim_fail_next > 0) {
        --kvshim_pass_next;
        return 0;
    }
    if (kvshim_fail_next <= 0) {
        return 0;
    }
    --kvshim_fail_next;
    errno = kvshim_fail_errno;
    return 1;
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

int fsync(int fd)
{
    return fails() ? -1 : REAL(fsync)(fd);
}

int fdatasync(int fd)
{
    return fails() ? -1 : REAL(fdatasync)(fd);
}

int msync(void *addr, size_t length, int flags)
{
    return fails() ? -1 : REAL(msync)(addr, length, flags);
}
