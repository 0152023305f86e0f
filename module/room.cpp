// _reserve() and _release(): the room a batch's run of changes may take in
// the file, claimed from the file system before the run starts.
//
// A store that the file system refuses half-way (a full disk, a quota, the
// process's file-size limit) can cost records that were there before it:
// when a store splits a bucket, the library frees the old bucket's blocks
// and may at once write the new record over them, before the two new
// buckets reach the file; if writing those fails, the directory on the disk
// still leads to the old bucket, which now holds a record's bytes, and the
// keys it held are lost. The library writes a change only up to the end of
// the file it has allocated (its next free block), so a run that finds that
// much room already allocated beyond the end of the file never fails for
// want of space. The blocks are claimed with fallocate() without changing
// the file's size (the library takes a file longer than its next free block
// for one that needs recovery), and given back once the run is over.
#include "change_runs.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>

namespace kvstore {

namespace {

// What bounds how much a run may add: the library's block and bucket sizes
// and its directory and buckets as they are.
struct Layout {
    uint64_t block_size = 4096;
    uint64_t bucket_elements = 4;
    uint64_t directory_entries = 1;
    uint64_t buckets = 1;
};

Layout layout_of(GDBM_FILE handle)
{
    Layout layout;
    int value = 0;
    if (gdbm_setopt(handle, GDBM_GETBLOCKSIZE, &value, sizeof value) == 0 && value > 0) {
        layout.block_size = static_cast<uint64_t>(value);
    }
    if (gdbm_setopt(handle, GDBM_GETBUCKETSIZE, &value, sizeof value) == 0 && value > 3) {
        layout.bucket_elements = static_cast<uint64_t>(value);
    }
    if (gdbm_setopt(handle, GDBM_GETDIRDEPTH, &value, sizeof value) == 0 && value >= 0 &&
        value < 48) {
        layout.directory_entries = uint64_t{1} << value;
    }
    size_t buckets = 0;
    // Failing, every directory entry counts as a bucket of its own.
    layout.buckets = gdbm_bucket_count(handle, &buckets) == 0 && buckets > 0
                         ? buckets
                         : layout.directory_entries;
    return layout;
}

// The most a run of `changes` can move the library's next free block, with
// `stored` of them storing `bytes` of keys and values in all, the rest
// deleting. Each term is the worst the library's allocator does:
// - a record's bytes come from a free piece or from whole new blocks, whose
//   rest goes to the bucket's free list: at most twice the bytes, and a
//   block for each bucket that runs out of pieces;
// - a full bucket splits into two new ones, at least a quarter of a bucket
//   of new keys apart (hash values split unevenly);
// - the directory doubles, each copy twice the one before, once a bucket
//   is as deep as it: allowed for from a quarter as many buckets as it has
//   entries;
// - the list of free pieces overflows into a block of its own now and then.
// Keys whose hash values crowd into a few buckets far more than the
// library's hash spreads them could split more often than this allows.
uint64_t most_added(const Layout &layout, uint64_t changes, uint64_t stored, uint64_t bytes)
{
    uint64_t block = layout.block_size;
    uint64_t splits = 4 * stored / layout.bucket_elements + 8;
    uint64_t buckets = layout.buckets + splits;
    uint64_t records = 2 * bytes + std::min(stored, buckets) * block;
    uint64_t entries = layout.directory_entries;
    uint64_t doublings = 4 * buckets < entries ? 0 : std::bit_width(4 * buckets / entries);
    uint64_t directory = sizeof(int64_t) * entries * ((uint64_t{2} << doublings) - 2);
    uint64_t free_lists = ((changes + splits) / 64 + 2) * block;
    return records + 2 * splits * block + directory + free_lists + 4 * block;
}

// The number of changes, of those that store, and the bytes they store.
bool measure(PyObject *changes, uint64_t &count, uint64_t &stored, uint64_t &bytes)
{
    count = stored = bytes = 0;
    return for_each_change(changes, [&](datum key, const datum *value) {
        ++count;
        if (value != nullptr) {
            ++stored;
            bytes += static_cast<uint64_t>(key.dsize) + static_cast<uint64_t>(value->dsize);
        }
        return true;
    });
}

// Whether the process's file-size limit lets the file reach `end` bytes.
bool within_size_limit(uint64_t end)
{
    struct rlimit limit;
    return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
           end <= static_cast<uint64_t>(limit.rlim_cur);
}

// Claims `length` bytes of blocks after `from` without changing the file's
// size; 0, or the error number. A file system without fallocate() has the
// free space it reports checked instead, which another writer can still
// take before the run.
int claim(int fd, off_t from, off_t length)
{
    int result;
    do {
        result = fallocate(fd, FALLOC_FL_KEEP_SIZE, from, length);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return 0;
    }
    if (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL && errno != ENODEV) {
        return errno;
    }
    struct statvfs space;
    if (fstatvfs(fd, &space) == 0 && space.f_frsize != 0 &&
        static_cast<uint64_t>(length) / space.f_frsize > space.f_bavail) {
        return ENOSPC;
    }
    return 0;
}

PyObject *reserve(database_object &db, PyObject *changes)
{
    if (!may_change(db)) {
        return nullptr;
    }
    uint64_t count;
    uint64_t stored;
    uint64_t bytes;
    if (!measure(changes, count, stored, bytes)) {
        return nullptr;
    }
    int fd = gdbm_fdesc(db.handle);
    struct stat status;
    if (fstat(fd, &status) != 0) {
        raise_failure(db.state, system_failure(errno, "cannot read the database file's size",
                                               db.name));
        return nullptr;
    }
    uint64_t from = static_cast<uint64_t>(status.st_size);
    uint64_t room = count == 0 ? 0 : most_added(layout_of(db.handle), count, stored, bytes);
    int refused = 0;
    if (!within_size_limit(from + room)) {
        refused = EFBIG;
    }
    else if (room != 0) {
        refused = claim(fd, static_cast<off_t>(from), static_cast<off_t>(room));
    }
    if (refused != 0) {
        raise_failure(db.state,
                      system_failure(refused,
                                     "the file system has no room for what this batch may "
                                     "add to the file: nothing was changed",
                                     db.name));
        return nullptr;
    }
    db.reserved_to = std::max(db.reserved_to, static_cast<off_t>(from + room));
    return Py_NewRef(Py_None);
}

// Gives back the blocks claimed after the file's end; a file system that
// cannot punch them keeps them for the file's next growth.
PyObject *release(database_object &db)
{
    int fd = gdbm_fdesc(db.handle);
    struct stat status;
    if (fstat(fd, &status) == 0 && status.st_size < db.reserved_to) {
        (void)fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, status.st_size,
                        db.reserved_to - status.st_size);
    }
    db.reserved_to = 0;
    return Py_NewRef(Py_None);
}

}  // namespace

PyObject *db_reserve(PyObject *self, PyObject *changes)
{
    if (!PyDict_Check(changes)) {
        PyErr_Format(PyExc_TypeError, "_reserve() argument must be dict, not %.100s",
                     Py_TYPE(changes)->tp_name);
        return nullptr;
    }
    return on_open(self, [&](database_object &db) { return reserve(db, changes); });
}

const char reserve_doc[] =
"_reserve($self, changes, /)\n--\n\n"
"Claim from the file system the room that storing the dict changes may\n"
"add to the file.\n"
"\n"
"For the kvstore package's batches, before their journal is written: error\n"
"(ENOSPC, EFBIG) when the file system or the process's file-size limit\n"
"has not that much room.  _release() gives back what the run left unused.";

PyObject *db_release(PyObject *self, PyObject *)
{
    return on_open(self, release);
}

const char release_doc[] =
"_release($self, /)\n--\n\n"
"Give back what _reserve() claimed beyond the file's end.";

}  // namespace kvstore
