/* Loaded with LD_PRELOAD into a child interpreter: writes a line for each
 * call that locks, writes, flushes or closes a file to the file named by
 * KVSHIM_LOG, as "call device:inode argument" (msync has no file: "msync
 * - -"), and a line "mark TEXT" for each kvshim_mark(TEXT) that the child
 * makes through ctypes, so that the test can tell which turn made which
 * calls and in what order. With KVSHIM_COPY naming a file, the moment a
 * lock taken exclusively on that file is let go, its bytes are copied to
 * KVSHIM_COPY.at-unlock unless that copy exists: whatever reaches the file
 * after that moment, through a mapping too, shows as a difference. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int log_fd = -1;
/* Descriptors below this number remember whether their lock is exclusive. */
#define TRACKED 1024
static char exclusive[TRACKED];

static void put(const char *line)
{
    if (log_fd < 0) {
        const char *name = getenv("KVSHIM_LOG");
        if (name == NULL) {
            return;
        }
        log_fd = REAL(open)(name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (log_fd < 0) {
            return;
        }
    }
    REAL(write)(log_fd, line, strlen(line));
}

static void note(const char *call, int fd, long argument)
{
    struct stat status;
    char line[128];
    int saved = errno;
    if (fd == log_fd) {
        return;
    }
    if (fd < 0 || fstat(fd, &status) != 0) {
        snprintf(line, sizeof line, "%s - -\n", call);
    }
    else {
        snprintf(line, sizeof line, "%s %lu:%lu %ld\n", call, (unsigned long)status.st_dev,
                 (unsigned long)status.st_ino, argument);
    }
    put(line);
    errno = saved;
}

void kvshim_mark(const char *text)
{
    char line[256];
    snprintf(line, sizeof line, "mark %s\n", text);
    put(line);
}

static int same_file(int fd, const char *name)
{
    struct stat opened, named;
    return fstat(fd, &opened) == 0 && stat(name, &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

static void copy_file(const char *from)
{
    char to[4096];
    char buffer[65536];
    ssize_t got;
    snprintf(to, sizeof to, "%s.at-unlock", from);
    int source = REAL(open)(from, O_RDONLY | O_CLOEXEC);
    int target = REAL(open)(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    while (source >= 0 && target >= 0 && (got = read(source, buffer, sizeof buffer)) > 0) {
        REAL(write)(target, buffer, (size_t)got);
    }
    if (source >= 0) {
        REAL(close)(source);
    }
    if (target >= 0) {
        REAL(close)(target);
    }
}

int flock(int fd, int operation)
{
    int result = REAL(flock)(fd, operation);
    /* Only locks taken or let go count: a refused try changes nothing. */
    if (result != 0) {
        return result;
    }
    note("flock", fd, operation);
    if (fd >= 0 && fd < TRACKED) {
        const char *watched = getenv("KVSHIM_COPY");
        int was_exclusive = exclusive[fd];
        exclusive[fd] = (operation & LOCK_EX) != 0;
        if ((operation & LOCK_UN) && was_exclusive && watched != NULL && same_file(fd, watched)) {
            copy_file(watched);
        }
    }
    return result;
}

ssize_t write(int fd, const void *buffer, size_t size)
{
    note("write", fd, (long)size);
    return REAL(write)(fd, buffer, size);
}

ssize_t pwrite(int fd, const void *buffer, size_t size, off_t offset)
{
    note("write", fd, (long)size);
    return REAL(pwrite)(fd, buffer, size, offset);
}

ssize_t pwrite64(int fd, const void *buffer, size_t size, off_t offset)
{
    note("write", fd, (long)size);
    return REAL(pwrite64)(fd, buffer, size, offset);
}

ssize_t pwritev(int fd, const struct iovec *vector, int count, off_t offset)
{
    note("write", fd, count);
    return REAL(pwritev)(fd, vector, count, offset);
}

int ftruncate(int fd, off_t length)
{
    note("ftruncate", fd, (long)length);
    return REAL(ftruncate)(fd, length);
}

int fallocate(int fd, int mode, off_t offset, off_t length)
{
    note("fallocate", fd, (long)length);
    return REAL(fallocate)(fd, mode, offset, length);
}

int fsync(int fd)
{
    note("fsync", fd, 0);
    return REAL(fsync)(fd);
}

int fdatasync(int fd)
{
    note("fdatasync", fd, 0);
    return REAL(fdatasync)(fd);
}

int msync(void *address, size_t length, int flags)
{
    note("msync", -1, 0);
    return REAL(msync)(address, length, flags);
}

int close(int fd)
{
    note("close", fd, 0);
    if (fd >= 0 && fd < TRACKED) {
        exclusive[fd] = 0;
    }
    return REAL(close)(fd);
}
