// compact(): reorganize() in steps, through a rewrite (rewrite.h). The
// records are copied, a few at a time, into the new file, which then takes
// the database's name; other threads run between the steps and a progress
// callable hears how far the copy has got.
#include "arguments.h"
#include "rewrite.h"

namespace kvstore {

PyObject *compact_file(database_object &db, PyObject *progress, const char *operation)
{
    Rewrite rewrite(db);
    if (!rewrite.begin()) {
        return nullptr;
    }
    Steps steps(db, operation, progress, rewrite.records());
    // The last progress report comes before the rename, the point of no
    // return, so that a progress callable that raises undoes it all.
    if (!rewrite.copy(steps) || !steps.finish() || !rewrite.settle() || !rewrite.take_name()) {
        return nullptr;
    }
    db.known_size = rewrite.records();
    Py_RETURN_NONE;
}

PyObject *db_compact(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *progress;
    if (!progress_argument<"compact", "|$O:compact">(args, nargs, kwnames, &progress)) {
        return nullptr;
    }
    return on_open(self, [&](database_object &db) { return compact_file(db, progress, "compact"); });
}

const char compact_doc[] =
"compact($self, /, *, progress=None)\n--\n\n"
"Reorganize the database in steps, letting other threads run between them.\n"
"\n"
"Like reorganize(), gives back the space of deleted records: every record\n"
"is copied into a new file beside the database, which then takes the\n"
"database's name, mode and (where permitted) owner; the object goes on\n"
"with the new file.  The new file is locked from the start, so no other\n"
"opener finds the name unlocked.  The database must be open for writing.\n"
"\n"
"progress, when given, is called as progress(done, total) every few\n"
"milliseconds and once more with done == total before the new file takes\n"
"the name.  While compact() runs, a call on this object from another\n"
"thread waits until it returns; one from progress raises error.\n"
"\n"
"Every record is carried over, or none: when a record cannot be read,\n"
"a write fails, or progress raises (its exception propagates), the new\n"
"file is removed and the database file is left as it was.  A\n"
"failure_atomic() setting does not carry over to the new file.  The new\n"
"file that a process killed in compact() or load() left beside the\n"
"database is removed first; one that a live process holds is left.";

}  // namespace kvstore
