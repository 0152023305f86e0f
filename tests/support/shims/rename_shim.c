/* Loaded with LD_PRELOAD into a child interpreter: lets the next
 * kvshim_rename_pass calls of rename() through, then makes the
 * kvshim_rename_fail calls after them fail with kvshim_rename_errno, as a
 * file system that refuses the move would. The test sets the counters
 * through ctypes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>

long kvshim_rename_pass; /* how many of the next renames succeed first */
long kvshim_rename_fail; /* how many renames fail after those */
int kvshim_rename_errno; /* the errno they fail with */

int rename(const char *from, const char *to)
{
    if (kvshim_rename_pass > 0) {
        --kvshim_rename_pass;
    }
    else if (kvshim_rename_fail > 0) {
        --kvshim_rename_fail;
        errno = kvshim_rename_errno;
        return -1;
    }
    return ((__typeof__(&rename))dlsym(RTLD_NEXT, "rename"))(from, to);
}
