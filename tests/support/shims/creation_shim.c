/* Loaded with LD_PRELOAD into a child interpreter: watches the exclusive
 * creations of files (open() with O_CREAT | O_EXCL). Before the creation of
 * a name that ends with kvshim_appear, a file of someone else's appears
 * there, as if another process made it in that instant; kvshim_mode records
 * the mode asked for the last creation of a name that holds kvshim_watch.
 * The test sets and reads them through ctypes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

char kvshim_appear[256];
char kvshim_watch[256];
int kvshim_mode = -1;

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static void before_creation(int folder, const char *name, int flags, mode_t mode)
{
    size_t length = strlen(name);
    size_t end = strlen(kvshim_appear);
    if ((flags & (O_CREAT | O_EXCL)) != (O_CREAT | O_EXCL)) {
        return;
    }
    if (kvshim_watch[0] != '\0' && strstr(name, kvshim_watch) != NULL) {
        kvshim_mode = (int)mode;
    }
    if (end > 0 && length >= end && strcmp(name + length - end, kvshim_appear) == 0) {
        int fd = REAL(openat)(folder, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            write(fd, "someone else's", 14);
            close(fd);
        }
    }
}

static int watched(int folder, const char *name, int flags, mode_t mode)
{
    before_creation(folder, name, flags, mode);
    return REAL(openat)(folder, name, flags, mode);
}

/* The mode comes only with O_CREAT (or O_TMPFILE, which no creation here
 * uses). */
#define MODE(flags, mode)                                                      \
    mode_t mode = 0;                                                           \
    if ((flags & O_CREAT) != 0) {                                              \
        va_list arguments;                                                     \
        va_start(arguments, flags);                                            \
        mode = (mode_t)va_arg(arguments, int);                                 \
        va_end(arguments);                                                     \
    }

#define WATCH_OPEN(symbol)                                                     \
    int symbol(const char *name, int flags, ...)                               \
    {                                                                          \
        MODE(flags, mode)                                                      \
        return watched(AT_FDCWD, name, flags, mode);                           \
    }

#define WATCH_OPENAT(symbol)                                                   \
    int symbol(int folder, const char *name, int flags, ...)                   \
    {                                                                          \
        MODE(flags, mode)                                                      \
        return watched(folder, name, flags, mode);                             \
    }

WATCH_OPEN(open)
WATCH_OPEN(open64)
WATCH_OPENAT(openat)
WATCH_OPENAT(openat64)
