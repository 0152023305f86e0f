// _apply(): a run of changes in one call, for the kvstore package's batches,
// which commit through it and roll back through it from their journal
// (journal.h).
#include "arguments.h"
#include "change_runs.h"

namespace kvstore {

namespace {

// Switches a library option for the run of changes and back afterwards;
// `during` negative leaves it as it is.
class Switched {
public:
    Switched(GDBM_FILE handle, int get, int set, int during)
        : handle_(handle), set_(set)
    {
        int now = 0;
        if (during < 0) {
            return;
        }
        if (gdbm_setopt(handle, get, &now, sizeof now) != 0) {
            failed_ = true;
            return;
        }
        if (now == during) {
            return;
        }
        if (gdbm_setopt(handle, set, &during, sizeof during) == 0) {
            before_ = now;
            switched_ = true;
        }
        else {
            failed_ = true;
        }
    }
    Switched(const Switched &) = delete;
    Switched &operator=(const Switched &) = delete;
    ~Switched() { restore(); }

    bool failed() const { return failed_; }

    // Puts the option back; false when the library refused.
    bool restore()
    {
        if (!switched_) {
            return true;
        }
        switched_ = false;
        return gdbm_setopt(handle_, set_, &before_, sizeof before_) == 0;
    }

private:
    GDBM_FILE handle_;
    int set_;
    int before_ = 0;
    bool switched_ = false;
    bool failed_ = false;
};

// One change: `*value` stored under `key`, or `key` deleted when `value` is
// null (a key that is not there is already as wanted).
bool apply_one(database_object &db, datum key, const datum *value)
{
    if (value == nullptr) {
        if (gdbm_delete(db.handle, key) == 0 || library_errno() == GDBM_ITEM_NOT_FOUND) {
            return true;
        }
        raise_failure(db.state, library_failure("gdbm_delete() error"));
        return false;
    }
    if (errno_first_call([&] { return gdbm_store(db.handle, key, *value, GDBM_REPLACE); }) == 0) {
        return true;
    }
    raise_failure(db.state, errno_first("gdbm_store() error"));
    return false;
}

// The library flushes nothing during the run (a handle opened with 's'
// would flush each change): the caller flushes once, with sync(). With
// `unmapped`, the file's mapping is off for the run, which makes changes
// cheaper but costs the library a flush at each switch.
PyObject *apply_changes(database_object &db, PyObject *changes, bool unmapped)
{
    if (!may_change(db)) {
        return nullptr;
    }
    db.known_size = -1;
    // The run may add and remove keys under the walks of the file.
    ++db.changes;
    Switched sync_mode(db.handle, GDBM_GETSYNCMODE, GDBM_SETSYNCMODE, 0);
    Switched mapping(db.handle, GDBM_GETMMAP, GDBM_SETMMAP, unmapped ? 0 : -1);
    if (sync_mode.failed() || mapping.failed()) {
        raise_failure(db.state, library_failure("gdbm_setopt() error"));
        return nullptr;
    }
    bool applied = for_each_change(
        changes, [&](datum key, const datum *value) { return apply_one(db, key, value); });
    bool restored = mapping.restore() && sync_mode.restore();
    if (applied && !restored) {
        raise_failure(db.state, library_failure("gdbm_setopt() error"));
        return nullptr;
    }
    return applied ? Py_NewRef(Py_None) : nullptr;
}

}  // namespace

PyObject *db_apply(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const keywords[] = {"", "unmapped", nullptr};
    static _PyArg_Parser parser = argument_parser("O!|$p:_apply", keywords);
    PyObject *changes;
    int unmapped = 0;
    if (!_PyArg_ParseStackAndKeywords(args, nargs, kwnames, &parser, &PyDict_Type, &changes,
                                      &unmapped)) {
        return nullptr;
    }
    return on_open(self, [&](database_object &db) {
        return apply_changes(db, changes, unmapped != 0);
    });
}

const char apply_doc[] =
"_apply($self, changes, /, *, unmapped=False)\n--\n\n"
"Store each value of the dict changes under its key, or delete the key\n"
"where the value is None; a key to delete that is missing is no failure.\n"
"\n"
"For the kvstore package's batches.  Nothing is flushed, not even with 's':\n"
"call sync() afterwards.  With unmapped, the file's memory mapping is off\n"
"for the run, which makes many changes cheaper but costs a flush at each\n"
"switch.  A failure stops at the change that failed; those before it stay.";

}  // namespace kvstore
