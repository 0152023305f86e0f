// How a database object ends: close(), the with statement, and the
// collector's hooks.
#include "database.h"
#include "files.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kvstore {

namespace {

// Wakes the openers that wait for the file's lock (kvstore/_waiting.py):
// they sleep until the file is next closed, which an unlock alone does not
// tell. The file is opened afresh through the descriptor's name in /proc,
// which leads to this very file whatever its name is now; without /proc
// the waiters find the lock free at their next look, within 10 ms.
void wake_waiters(int fd)
{
    char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    int reopened = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reopened >= 0) {
        close(reopened);
    }
}

// Lets go of the file's lock ahead of the library's close, whose flush then
// runs while other openers may use the file. That is sound because the
// library writes a change whole (its buckets, directory and header) before
// the call that made it returns, and its close writes nothing more: it
// flushes, unmaps, unlocks and closes (gdbmclose.c, gdbm 1.23;
// tests/test_shared.py checks the calls made after the unlock). Only a
// writer of this process lets go early, and only when the library's
// snapshots are off: a snapshot is a copy that the close would take of
// the file while another writer changes it. A lock taken otherwise than
// with flock() (a file system without it) stays until the close.
void let_go_of_lock(const database_object &db, GDBM_FILE handle)
{
    if (!db.writable || !db.locks_file || db.takes_snapshots || db.opener != this_process()) {
        return;
    }
    int fd = gdbm_fdesc(handle);
    if (flock(fd, LOCK_UN) == 0) {
        wake_waiters(fd);
    }
}

// Releases the handle; the object is closed afterwards whatever the library
// reports. A long operation of another thread, which still needs the
// handle, is waited for first; a child forked during one closes its copy at
// once. With `letting_go`, the file's lock goes before the final flush,
// which the interpreter's other threads run beside: nothing else reaches
// the handle, taken from the object first. Returns false with `error` set
// when the final write failed, or when the progress callable of a long
// operation closes its database. Closing a closed object is fine: it makes
// no use check.
bool close_handle(database_object &db, bool letting_go)
{
    if (db.busy_with != nullptr && db.busy_in == this_process() && !wait_for_long_work(db)) {
        return false;
    }
    GDBM_FILE handle = take_handle(db);
    if (handle == nullptr) {
        return true;
    }
    auto release = [&] { return errno_first_call([&] { return release_handle(handle, db.opener); }); };
    if (letting_go) {
        let_go_of_lock(db, handle);
    }
    if ((letting_go ? detached(release) : release()) == 0) {
        return true;
    }
    raise_failure(db.state, errno_first("gdbm_close() error"));
    return false;
}

}  // namespace

PyObject *db_close(PyObject *self, PyObject *)
{
    if (!in_section(self, [&] { return close_handle(*as_db(self), false); })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *db_close_letting_go(PyObject *self, PyObject *)
{
    if (!in_section(self, [&] { return close_handle(*as_db(self), true); })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *db_exit(PyObject *self, PyObject *)
{
    return db_close(self, nullptr);
}

PyObject *db_enter(PyObject *self, PyObject *)
{
    return Py_NewRef(self);
}

void db_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    database_object &db = *as_db(self);
    if (db.handle != nullptr) {
        // Nobody is left to hear a failure here.
        release_handle(db.handle, db.opener);
    }
    std::free(db.name);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int db_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    return 0;
}

const char close_doc[] =
"close($self, /)\n--\n\n"
"Close the database.";

const char close_letting_go_doc[] =
"_close_letting_go($self, /)\n--\n\n"
"Close the database as close() does, letting go of the file's lock first.\n"
"\n"
"For kvstore.Shared's write turns: the changes are in the file already,\n"
"and other openers may read or change it while the final flush runs; the\n"
"call returns once the flush is done and raises error when it failed.\n"
"A reader, a handle that keeps snapshots (failure_atomic()) or one\n"
"opened with 'u' closes as close() does.";

}  // namespace kvstore
