// File maintenance: sync() and reorganize().
#include "database.h"

namespace kvstore {

PyObject *sync_file(database_object &db)
{
    if (!may_change(db)) {
        return nullptr;
    }
    if (errno_first_call([&] { return gdbm_sync(db.handle); }) != 0) {
        raise_failure(db.state, errno_first("gdbm_sync() error"));
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The library's own reorganize() is its recovery without limits: a record
// or bucket it cannot read is left out of the new file, and it reports
// success. Here the count, which reads every bucket, fails on a damaged one
// before anything is written, and the rewrite stops at the first record or
// bucket it cannot read (a record too large for the memory left, say),
// leaving the file as it was.
PyObject *reorganize_file(database_object &db)
{
    Py_ssize_t count = may_rewrite(db) ? library_count(db) : -1;
    if (count < 0) {
        return nullptr;
    }
    // A reorganisation that carried every record changes none: a count
    // cached before it still holds. Any failure forgets it.
    Py_ssize_t cached = db.known_size;
    gdbm_recovery report{};
    report.max_failed_keys = 1;
    report.max_failed_buckets = 1;
    int flags = GDBM_RCVR_FORCE | GDBM_RCVR_MAX_FAILED_KEYS | GDBM_RCVR_MAX_FAILED_BUCKETS;
    if (!run_recovery(db, &report, flags)) {
        return nullptr;
    }
    if (report.recovered_keys != static_cast<size_t>(count)) {
        raise_error(db.state, "reorganize() carried %zu of the %zd records",
                    report.recovered_keys, count);
        return nullptr;
    }
    if (!commit_change(db)) {
        return nullptr;
    }
    db.known_size = cached;
    Py_RETURN_NONE;
}

const char sync_doc[] =
"sync($self, /)\n--\n\n"
"Flush the database to the disk file.\n"
"\n"
"When the database has been opened in fast mode, this method forces any\n"
"unwritten data to be written to the disk.";

const char reorganize_doc[] =
"reorganize($self, /)\n--\n\n"
"Reorganize the database.\n"
"\n"
"If you have carried out a lot of deletions and would like to shrink\n"
"the space used by the GDBM file, this routine will reorganize the\n"
"database.  GDBM will not shorten the length of a database file except\n"
"by using this reorganization; otherwise, deleted file space will be\n"
"kept and reused as new (key,value) pairs are added.\n"
"\n"
"Every record is carried over, or none: when a bucket or a record cannot\n"
"be read, error is raised and the file is left as it was.";

}  // namespace kvstore
