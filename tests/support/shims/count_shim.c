/* Loaded with LD_PRELOAD into a child interpreter: counts the calls that
 * reach the library's record count and first-key lookup, the two calls
 * that the cached record count saves. The test reads the counters through
 * ctypes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stddef.h>
#include <string.h>

typedef struct {
    char *dptr;
    int dsize;
} datum;

long kvshim_counts;    /* gdbm_count calls so far */
long kvshim_firstkeys; /* gdbm_firstkey calls so far */

static int find_library(struct dl_phdr_info *info, size_t size, void *found)
{
    (void)size;
    if (strstr(info->dlpi_name, "libgdbm") == NULL) {
        return 0;
    }
    *(void **)found = dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD);
    return 1;
}

/* The library comes in with the module, which the interpreter loads with
 * RTLD_LOCAL: out of RTLD_NEXT's reach, so it is looked up by name. */
static void *real(const char *name)
{
    void *library = NULL;
    dl_iterate_phdr(find_library, &library);
    return dlsym(library != NULL ? library : RTLD_NEXT, name);
}

int gdbm_count(void *dbf, unsigned long long *count)
{
    ++kvshim_counts;
    return ((__typeof__(&gdbm_count))real("gdbm_count"))(dbf, count);
}

datum gdbm_firstkey(void *dbf)
{
    ++kvshim_firstkeys;
    return ((__typeof__(&gdbm_firstkey))real("gdbm_firstkey"))(dbf);
}
