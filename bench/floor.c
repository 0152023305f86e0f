/* The floor: the benchmark workload written straight against gdbm's C API,
 * phase for phase as bench/driver.py runs it on _kvstore. Whatever the
 * Python module costs above these figures is the binding's own cost.
 *
 * usage: kvbench-floor WORKLOAD N VALUE_SIZE REPEATS DIR [SETTINGS]
 * Prints one JSON object on stdout.
 *
 * SETTINGS, comma-separated, are gdbm's tuning knobs, applied at every open
 * (the library's defaults without them): mmap=0|1|2, maxmap=BYTES,
 * cache=BUCKETS|auto, block=BYTES (new files), centfree=0|1, coalesce=0|1,
 * preread=0|1. A knob this gdbm's header does not declare is refused.
 * mmap=2 maps the file at open but switches the mapping off as each run of
 * changes starts, inside the timed phase: what switching it per run costs
 * and gains.
 *
 * Around every timed phase it calls getppid() and getpgrp(): the callgrind
 * mode zeroes its counters on the first and dumps them on the second, so the
 * instruction count of each phase lands in a file of its own.
 */
#define _GNU_SOURCE
#include <gdbm.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#define MAX_PHASES 16
#define MAX_REPEATS 16
#define LEN_CHANGES 5

typedef struct {
    const char *name;
    size_t ops;
    double ns[MAX_REPEATS];
    double user_ns[MAX_REPEATS], sys_ns[MAX_REPEATS]; /* CPU time, less sensitive to a busy machine */
    long rss_kib[MAX_REPEATS];
} phase;

static phase phases[MAX_PHASES];
static int phase_count;
static int repeat;
static const char *sequence[MAX_PHASES * MAX_REPEATS * 2]; /* every timed call in order */
static int sequence_count;

static struct {
    size_t n;
    size_t value_size;
    datum *keys;
    datum *absent;
    datum *values;
    /* The records in the order each phase visits them, laid out before any
     * timing as the Python driver lays out its lists: a phase reads its
     * keys in sequence, not through an index into the file's order. */
    datum *insert_keys, *insert_values;
    datum *fetch_keys;
    datum *delete_keys, *delete_values;
    datum *readonly_keys; /* fetch order, without the deleted first half */
} w;

static void die(const char *what)
{
    fprintf(stderr, "kvbench-floor: %s (gdbm: %s)\n", what, gdbm_strerror(gdbm_errno));
    exit(1);
}

static long status_kib(const char *field)
{
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long value = -1;
    size_t len = strlen(field);
    if (f == NULL)
        return -1;
    while (fgets(line, sizeof line, f) != NULL) {
        if (strncmp(line, field, len) == 0) {
            value = strtol(line + len, NULL, 10);
            break;
        }
    }
    fclose(f);
    return value;
}

/* Resets the peak resident size to the current one (Linux 4.0 and later). */
static void reset_peak(void)
{
    FILE *f = fopen("/proc/self/clear_refs", "w");
    if (f != NULL) {
        fputs("5", f);
        fclose(f);
    }
}

static double now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

static double timeval_ns(struct timeval tv)
{
    return (double)tv.tv_sec * 1e9 + (double)tv.tv_usec * 1e3;
}

static struct rusage usage_before;

static phase *current;
static long rss_before;
static long peak_rss; /* the peak is reset before every phase: keep the highest */
static double t_start;

static void begin(const char *name, size_t ops)
{
    int i;
    for (i = 0; i < phase_count; i++)
        if (strcmp(phases[i].name, name) == 0)
            break;
    if (i == phase_count) {
        phases[phase_count].name = name;
        phase_count++;
    }
    current = &phases[i];
    current->ops = ops;
    if (sequence_count < (int)(sizeof sequence / sizeof *sequence))
        sequence[sequence_count++] = current->name;
    reset_peak();
    rss_before = status_kib("VmRSS:");
    getrusage(RUSAGE_SELF, &usage_before);
    getppid();
    t_start = now_ns();
}

static void end(void)
{
    double t = now_ns();
    getpgrp();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    long hwm = status_kib("VmHWM:");
    current->ns[repeat] = t - t_start;
    current->user_ns[repeat] = timeval_ns(usage.ru_utime) - timeval_ns(usage_before.ru_utime);
    current->sys_ns[repeat] = timeval_ns(usage.ru_stime) - timeval_ns(usage_before.ru_stime);
    current->rss_kib[repeat] = hwm - rss_before;
    if (hwm > peak_rss)
        peak_rss = hwm;
}

static unsigned char *read_file(const char *path, size_t *size)
{
    FILE *f = fopen(path, "rb");
    unsigned char *data;
    long len;
    if (f == NULL || fseek(f, 0, SEEK_END) != 0 || (len = ftell(f)) < 0 || fseek(f, 0, SEEK_SET) != 0)
        die("cannot read the workload file");
    data = malloc((size_t)len);
    if (data == NULL || fread(data, 1, (size_t)len, f) != (size_t)len)
        die("cannot read the workload file");
    fclose(f);
    *size = (size_t)len;
    return data;
}

static uint32_t u32_at(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* Keeps the entries of a permutation of the whole file that are below n. */
static uint32_t *cut_order(const unsigned char *p, size_t total, size_t n)
{
    uint32_t *order = malloc(n * sizeof *order);
    size_t k = 0;
    for (size_t i = 0; i < total; i++) {
        uint32_t v = u32_at(p + 4 * i);
        if (v < n)
            order[k++] = v;
    }
    return order;
}

static datum *in_order(const datum *records, const uint32_t *order, size_t n)
{
    datum *out = malloc(n * sizeof *out);
    for (size_t i = 0; i < n; i++)
        out[i] = records[order[i]];
    return out;
}

static void load(const char *path, size_t n, size_t value_size)
{
    size_t size;
    unsigned char *data = read_file(path, &size);
    if (size < 20 || memcmp(data, "KVBENCH1", 8) != 0)
        die("not a workload file");
    size_t total = u32_at(data + 8), n_absent = u32_at(data + 12), block_size = u32_at(data + 16);
    const unsigned char *block = data + 20;
    const unsigned char *p = block + block_size;
    if (n > total)
        n = total;
    w.n = n;
    w.value_size = value_size;
    w.keys = malloc(n * sizeof(datum));
    w.absent = malloc(n * sizeof(datum));
    for (size_t i = 0; i < total + n_absent; i++) {
        datum d = {(char *)p + 1, p[0]};
        if (i < n)
            w.keys[i] = d;
        else if (i >= total && i - total < n)
            w.absent[i - total] = d;
        p += 1 + p[0];
    }
    w.values = malloc(n * sizeof(datum));
    char *store = malloc(n * value_size);
    for (size_t i = 0; i < n; i++) {
        char *v = store + i * value_size;
        size_t klen = (size_t)w.keys[i].dsize;
        size_t head = klen < value_size ? klen : value_size;
        memcpy(v, w.keys[i].dptr, head);
        memcpy(v + head, block, value_size - head);
        w.values[i].dptr = v;
        w.values[i].dsize = (int)value_size;
    }
    uint32_t *insert_order = cut_order(p, total, n);
    uint32_t *fetch_order = cut_order(p + 4 * total, total, n);
    uint32_t *delete_order = cut_order(p + 8 * total, total, n);
    unsigned char *deleted_first = calloc(n, 1);
    for (size_t i = 0; i < n / 2; i++)
        deleted_first[delete_order[i]] = 1;
    w.insert_keys = in_order(w.keys, insert_order, n);
    w.insert_values = in_order(w.values, insert_order, n);
    w.fetch_keys = in_order(w.keys, fetch_order, n);
    w.delete_keys = in_order(w.keys, delete_order, n);
    w.delete_values = in_order(w.values, delete_order, n);
    w.readonly_keys = malloc(n * sizeof(datum));
    for (size_t i = 0, k = 0; i < n; i++)
        if (!deleted_first[fetch_order[i]])
            w.readonly_keys[k++] = w.keys[fetch_order[i]];
    free(insert_order);
    free(fetch_order);
    free(delete_order);
    free(deleted_first);
}

/* A setting left at -1 keeps the library's default. */
static struct {
    int mmap, cache_auto, centfree, coalesce, preread;
    long long maxmap, cache, block;
} knobs = {-1, -1, -1, -1, -1, -1, -1, -1};

static void parse_settings(char *text)
{
    for (char *item = strtok(text, ","); item != NULL; item = strtok(NULL, ",")) {
        char *eq = strchr(item, '=');
        if (eq == NULL)
            die("a setting is NAME=VALUE");
        *eq = '\0';
        const char *name = item, *value = eq + 1;
        long long number = strtoll(value, NULL, 10);
        if (strcmp(name, "mmap") == 0)
            knobs.mmap = (int)number;
        else if (strcmp(name, "maxmap") == 0)
            knobs.maxmap = number;
        else if (strcmp(name, "cache") == 0 && strcmp(value, "auto") == 0)
            knobs.cache_auto = 1;
        else if (strcmp(name, "cache") == 0)
            knobs.cache = number;
        else if (strcmp(name, "block") == 0)
            knobs.block = number;
        else if (strcmp(name, "centfree") == 0)
            knobs.centfree = (int)number;
        else if (strcmp(name, "coalesce") == 0)
            knobs.coalesce = (int)number;
        else if (strcmp(name, "preread") == 0)
            knobs.preread = (int)number;
        else
            die("unknown setting");
    }
}

static void set_int(GDBM_FILE db, int option, int value)
{
    if (value >= 0 && gdbm_setopt(db, option, &value, sizeof value) != 0)
        die("gdbm_setopt");
}

static void apply_settings(GDBM_FILE db)
{
    set_int(db, GDBM_SETCENTFREE, knobs.centfree);
    set_int(db, GDBM_SETCOALESCEBLKS, knobs.coalesce);
    if (knobs.cache >= 0) {
        size_t cache = (size_t)knobs.cache;
        if (gdbm_setopt(db, GDBM_SETCACHESIZE, &cache, sizeof cache) != 0)
            die("gdbm_setopt");
    }
    if (knobs.cache_auto >= 0) {
#ifdef GDBM_SETCACHEAUTO
        set_int(db, GDBM_SETCACHEAUTO, knobs.cache_auto);
#else
        die("cache=auto: this gdbm has no GDBM_SETCACHEAUTO");
#endif
    }
    if (knobs.maxmap >= 0) {
        size_t size = (size_t)knobs.maxmap;
        if (gdbm_setopt(db, GDBM_SETMAXMAPSIZE, &size, sizeof size) != 0)
            die("gdbm_setopt");
    }
    set_int(db, GDBM_SETMMAP, knobs.mmap == 2 ? 1 : knobs.mmap);
}

static void changes_begin(GDBM_FILE db)
{
    if (knobs.mmap == 2)
        set_int(db, GDBM_SETMMAP, 0);
}

static GDBM_FILE open_db(const char *file, int flags)
{
    int block = knobs.block > 0 ? (int)knobs.block : 0;
    if (knobs.preread > 0) {
#ifdef GDBM_PREREAD
        flags |= GDBM_PREREAD;
#else
        die("preread=1: this gdbm has no GDBM_PREREAD");
#endif
    }
    GDBM_FILE db = gdbm_open(file, block, flags, 0666, NULL);
    if (db == NULL)
        die("gdbm_open");
    apply_settings(db);
    return db;
}

static void close_db(GDBM_FILE db)
{
    if (gdbm_close(db) != 0)
        die("gdbm_close");
}

static void store_all(GDBM_FILE db, const datum *keys, const datum *values, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (gdbm_store(db, keys[i], values[i], GDBM_REPLACE) != 0)
            die("gdbm_store");
}

static void delete_all(GDBM_FILE db, const datum *keys, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (gdbm_delete(db, keys[i]) != 0)
            die("gdbm_delete");
}

/* The clear of the module: one walk gathers a bounded batch, which is then
 * deleted, and the walk starts again from the first key. */
static void clear_db(GDBM_FILE db)
{
    enum { batch_keys = 4096 };
    static datum batch[batch_keys];
    const size_t batch_bytes = (size_t)4 << 20;
    for (;;) {
        size_t count = 0, bytes = 0;
        datum key = gdbm_firstkey(db);
        while (key.dptr != NULL) {
            datum next = gdbm_nextkey(db, key);
            batch[count++] = key;
            bytes += (size_t)key.dsize;
            if (count == batch_keys || bytes >= batch_bytes) {
                free(next.dptr);
                break;
            }
            key = next;
        }
        if (count == 0)
            return;
        for (size_t i = 0; i < count; i++) {
            if (gdbm_delete(db, batch[i]) != 0)
                die("gdbm_delete");
            free(batch[i].dptr);
        }
    }
}

static void run_once(const char *file)
{
    size_t n = w.n, half = n / 2;
    volatile size_t sink = 0;

    unlink(file);
    GDBM_FILE db = open_db(file, GDBM_NEWDB);
    begin("insert", n);
    changes_begin(db);
    store_all(db, w.insert_keys, w.insert_values, n);
    end();

    begin("reopen", 1);
    close_db(db);
    db = open_db(file, GDBM_WRITER);
    end();

    begin("fetch", n);
    for (size_t i = 0; i < n; i++) {
        datum v = gdbm_fetch(db, w.fetch_keys[i]);
        if (v.dptr == NULL)
            die("gdbm_fetch");
        sink += (size_t)v.dsize;
        free(v.dptr);
    }
    end();

    begin("contains_hit", n);
    for (size_t i = 0; i < n; i++)
        if (!gdbm_exists(db, w.fetch_keys[i]))
            die("gdbm_exists");
    end();

    begin("contains_miss", n);
    for (size_t i = 0; i < n; i++)
        if (gdbm_exists(db, w.absent[i]))
            die("gdbm_exists");
    end();

    begin("get_miss", n);
    for (size_t i = 0; i < n; i++) {
        datum v = gdbm_fetch(db, w.absent[i]);
        if (v.dptr != NULL)
            die("gdbm_fetch");
        sink += (size_t)v.dsize;
    }
    end();

    datum *listed = malloc(n * sizeof *listed);
    size_t count = 0;
    begin("keys", n);
    for (datum k = gdbm_firstkey(db); k.dptr != NULL; k = gdbm_nextkey(db, k))
        listed[count++] = k;
    end();
    if (count != n)
        die("keys: wrong count");
    for (size_t i = 0; i < count; i++)
        free(listed[i].dptr);
    free(listed);

    count = 0;
    begin("walk", n);
    datum k = gdbm_firstkey(db);
    while (k.dptr != NULL) {
        datum next = gdbm_nextkey(db, k);
        free(k.dptr);
        count++;
        k = next;
    }
    end();
    if (count != n)
        die("walk: wrong count");

    double len_ns = 0, len_user = 0, len_sys = 0;
    long len_rss = 0;
    for (int i = 0; i < LEN_CHANGES; i++) {
        if (gdbm_store(db, w.insert_keys[i], w.insert_values[i], GDBM_REPLACE) != 0)
            die("gdbm_store");
        gdbm_count_t records;
        begin("len_after_change", LEN_CHANGES);
        if (gdbm_count(db, &records) != 0 || records != n)
            die("gdbm_count");
        end();
        len_ns += current->ns[repeat];
        len_user += current->user_ns[repeat];
        len_sys += current->sys_ns[repeat];
        if (current->rss_kib[repeat] > len_rss)
            len_rss = current->rss_kib[repeat];
    }
    current->ns[repeat] = len_ns;
    current->user_ns[repeat] = len_user;
    current->sys_ns[repeat] = len_sys;
    current->rss_kib[repeat] = len_rss;

    begin("delete_half", half);
    changes_begin(db);
    delete_all(db, w.delete_keys, half);
    end();

    begin("reorganize", 1);
    if (gdbm_reorganize(db) != 0)
        die("gdbm_reorganize");
    end();

    close_db(db);
    db = open_db(file, GDBM_READER);
    begin("readonly_fetch", n - half);
    for (size_t i = 0; i < n - half; i++) {
        datum v = gdbm_fetch(db, w.readonly_keys[i]);
        if (v.dptr == NULL)
            die("gdbm_fetch");
        sink += (size_t)v.dsize;
        free(v.dptr);
    }
    end();
    close_db(db);

    db = open_db(file, GDBM_WRITER);
    changes_begin(db);
    store_all(db, w.delete_keys, w.delete_values, half);
    begin("delete_all", n);
    delete_all(db, w.delete_keys, n);
    end();

    store_all(db, w.insert_keys, w.insert_values, n);
    begin("clear", n);
    changes_begin(db);
    clear_db(db);
    end();
    close_db(db);
    unlink(file);
    (void)sink;
}

int main(int argc, char **argv)
{
    if (argc != 6 && argc != 7) {
        fprintf(stderr, "usage: %s WORKLOAD N VALUE_SIZE REPEATS DIR [SETTINGS]\n", argv[0]);
        return 2;
    }
    size_t n = strtoul(argv[2], NULL, 10);
    size_t value_size = strtoul(argv[3], NULL, 10);
    int repeats = atoi(argv[4]);
    if (repeats < 1 || repeats > MAX_REPEATS)
        die("REPEATS out of range");
    char file[4096];
    snprintf(file, sizeof file, "%s/floor.gdbm", argv[5]);
    if (argc == 7)
        parse_settings(argv[6]);

    load(argv[1], n, value_size);
    long base_rss = status_kib("VmRSS:");
    for (repeat = 0; repeat < repeats; repeat++)
        run_once(file);

    printf("{\"backend\": \"%s\", \"n\": %zu, \"value_size\": %zu, \"repeats\": %d, "
           "\"base_rss_kib\": %ld, \"peak_rss_kib\": %ld, \"phases\": {",
           argc == 7 ? "C floor, tuned" : "C floor", w.n, w.value_size, repeats, base_rss, peak_rss);
    for (int i = 0; i < phase_count; i++) {
        printf("%s\"%s\": {\"ops\": %zu, \"ns\": [", i ? ", " : "", phases[i].name, phases[i].ops);
        for (int r = 0; r < repeats; r++)
            printf("%s%.0f", r ? ", " : "", phases[i].ns[r]);
        printf("], \"user_ns\": [");
        for (int r = 0; r < repeats; r++)
            printf("%s%.0f", r ? ", " : "", phases[i].user_ns[r]);
        printf("], \"sys_ns\": [");
        for (int r = 0; r < repeats; r++)
            printf("%s%.0f", r ? ", " : "", phases[i].sys_ns[r]);
        printf("], \"rss_kib\": [");
        for (int r = 0; r < repeats; r++)
            printf("%s%ld", r ? ", " : "", phases[i].rss_kib[r]);
        printf("]}");
    }
    printf("}, \"sequence\": [");
    for (int i = 0; i < sequence_count; i++)
        printf("%s\"%s\"", i ? ", " : "", sequence[i]);
    printf("]}\n");
    return 0;
}
