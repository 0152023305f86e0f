// The gdbm database object: its fields, the one door from a method to the
// open object, the checks every use and change goes through, and the
// operations, slots and methods that the files working on it share, each
// under the name of the file that defines it.
//
// Every operation that reads or changes an object's handle or cached count
// runs inside the object's critical section, so that one object shared by
// threads of the free-threaded build never sees a handle closed under it.
// Under the GIL the section costs nothing.
#ifndef KVSTORE_DATABASE_H
#define KVSTORE_DATABASE_H

#include "convert.h"
#include "errors.h"
#include "interpreter_private.h"
#include "kvstore.h"
#include "ref.h"

#include <cstdint>
#include <type_traits>
#include <utility>

namespace kvstore {

struct database_object {
    PyObject_HEAD
    Py_ssize_t known_size;  // cached record count; negative while unknown
    GDBM_FILE handle;       // null once closed
    // The state of the module whose type made the object; the object holds
    // its type, which holds the module, so the state outlives the object.
    module_state *state;
    char *name;             // the file's absolute name, as the library has it
    pid_t opener;           // the process that opened the file
    // The process that may use the handle, which ensure_open() compares
    // alone: 0 while the object is closed or busy with a long operation;
    // the opener's for a writer; for a reader, the last process that used
    // it (a child of fork() may read).
    pid_t usable_in;
    bool writable;          // opened with 'w', 'c' or 'n'
    bool locks_file;        // opened without 'u'
    bool sync_each_change;  // opened with 's'
    bool takes_snapshots;   // failure_atomic() started the library's snapshots
    // The long operation that lets other threads run between its steps
    // (steps.h), or null: while it is set, a use from another thread of the
    // same process waits until it ends, and any other use is refused.
    const char *busy_with;
    pid_t busy_in;                 // the process running it
    unsigned long working_thread;  // the thread running it
    // Bumped by every change that can move a traversal's position (a new
    // key, a deletion, a rewrite, a recovery), whichever object made it: the
    // package's walks compare it with the value they started with.
    uint64_t changes;
    // The package's walks started and not finished: while there are none, a
    // store skips the check that tells a new key from a replaced value.
    Py_ssize_t walkers;
    // The end of the room that a batch's run claimed beyond the file's end
    // (room.cpp), given back when the run is over; 0 when none is claimed.
    off_t reserved_to;
};

inline constexpr char closed_message[] = "GDBM object has already been closed";

inline database_object *as_db(PyObject *self)
{
    return reinterpret_cast<database_object *>(self);
}

// steps.cpp: while a long operation runs on `db`, waits for its end with
// the interpreter's other threads running, then returns true. False with
// `error` set when waiting would never end (the call comes from the
// operation's own thread, or from a child forked during it) or a signal
// handler raised while waiting.
bool wait_for_long_work(database_object &db);

// ---- what every use goes through (change.cpp) ----------------------------

// Raises `error`: the object is closed, or busy with a long operation that
// this caller cannot wait for.
void raise_unavailable(database_object &db);

// The process this code runs in, kept up to date across fork().
pid_t this_process();

// What this_process() last found, read without a call: the hot path's
// check. -1, which no object's usable_in holds, until the first object is
// opened, and where fork() cannot be watched: the check then always takes
// the slow path.
extern pid_t kept_process [[gnu::visibility("hidden")]];

// The slow path of ensure_open(): waits out a long operation of another
// thread; false with `error` set when closed, busy with a long operation
// that cannot be waited for, or opened for writing by a parent process.
bool may_use(database_object &db);

// The one check before every use of the handle: while another thread's long
// operation is between two of its steps (the handle is then in the middle of
// that work), waits until it ends. False with `error` set when the object is
// closed, when that operation cannot be waited for, or when it was opened
// for writing in a parent process, whose writes this process's copy of the
// library's cache does not see (its reads would return stale or mixed
// records). A reader may still be read in a child: no writer can change the
// file while it is open. on_open() makes it before every body; a body makes
// it again after Python code has run (a conversion), which may have closed
// the object.
inline bool ensure_open(database_object &db)
{
    if (db.usable_in == kept_process) [[likely]] {
        return true;
    }
    return may_use(db);
}

// What a body returns when it fails: null for an object, -1 for a number.
template <class Result>
constexpr Result failed()
{
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    }
    else {
        return -1;
    }
}

// Runs `body()` inside `object`'s critical section. close() and the
// walks' clean-up, which must work on a closed object, use it alone;
// everything else goes through on_open().
template <class Body>
auto in_section([[maybe_unused]] PyObject *object, Body &&body) -> decltype(body())
{
    decltype(body()) result;
    Py_BEGIN_CRITICAL_SECTION(object);
    result = body();
    Py_END_CRITICAL_SECTION();
    return result;
}

// The one door from a method or slot to the open object: inside the
// object's critical section, runs `body(database_object &)` when the object
// may be used, and fails with `error` set otherwise.
template <class Body>
auto on_open(PyObject *self, Body &&body) -> decltype(body(std::declval<database_object &>()))
{
    using Result = decltype(body(std::declval<database_object &>()));
    return in_section(self, [&]() -> Result {
        database_object &db = *as_db(self);
        return ensure_open(db) ? body(db) : failed<Result>();
    });
}

// Takes the handle from the object, which is closed from then on.
inline GDBM_FILE take_handle(database_object &db)
{
    db.usable_in = 0;
    GDBM_FILE handle = db.handle;
    db.handle = nullptr;
    return handle;
}

// Closes a library handle that the process `opener` opened. In a child of
// fork() the handle is a copy of the parent's: closing it through the
// library would write the copy's cache over the parent's records and unlock
// the file the parent still holds (a flock() lock belongs to the open file
// that both processes share). There only the child's descriptor is closed;
// the copy's memory stays with the child, which never uses it again.
// Returns the library's result otherwise.
int release_handle(GDBM_FILE handle, pid_t opener);

// A change through an object that a parent process opened would land in a
// copy of the parent's cache and be lost, or overwrite the parent's
// records: false with `error` set in that case.
bool may_change(database_object &db);

bool flush_change(database_object &db);
bool raise_unreported_flush_failure(database_object &db);

// With 's', true with `error` set when a flush that the library made
// itself during the last call failed, though the call reported success.
inline bool flush_failed_unreported(database_object &db)
{
    return db.sync_each_change && raise_unreported_flush_failure(db);
}

// With 's', flushes the change just made to the disk; false with `error`
// set (errno first) when the flush failed, the library's own included.
inline bool commit_change(database_object &db)
{
    return !db.sync_each_change || flush_change(db);
}

// ---- shared operations on the open object (mapping.cpp) -------------------

// Fetches the value stored under `key` as bytes. A key that is not stored
// returns null with no exception set and `missing` true.
PyObject *lookup(database_object &db, datum key, bool *missing);
PyObject *lookup_or_key_error(database_object &db, PyObject *key_obj, datum key);
// Stores `value_obj` under `key`, or deletes `key` when `value_obj` is null.
int assign(database_object &db, PyObject *key_obj, datum key, PyObject *value_obj);
// assign()'s two halves for a store: the value converted, in a process that
// may change the file and with the object still open afterwards (false with
// the exception set otherwise); then the store itself, which runs no Python
// code.
bool convert_for_store(database_object &db, PyObject *value_obj, InputDatum &value);
int store(database_object &db, datum key, datum value);
// The library's record count, or -1 with an exception set.
Py_ssize_t library_count(database_object &db);
// The same, kept in known_size until the next change.
Py_ssize_t count_records(database_object &db);
// Whether `key` is stored: 1 or 0, or -1 with an exception set.
int holds(database_object &db, datum key);

// dict_methods.cpp: setdefault()'s body. The value stored under `key`, or
// `fallback` stored and read back.
PyObject *fetch_or_store(database_object &db, PyObject *key_obj, datum key, PyObject *fallback);

// ---- the type's slots and methods, by file ----------------------------------

// lifecycle.cpp
PyObject *db_close(PyObject *self, PyObject *);
PyObject *db_close_letting_go(PyObject *self, PyObject *);
PyObject *db_enter(PyObject *self, PyObject *);
PyObject *db_exit(PyObject *self, PyObject *);
void db_dealloc(PyObject *self);
int db_traverse(PyObject *self, visitproc visit, void *arg);
extern const char close_doc[];
extern const char close_letting_go_doc[];

// mapping.cpp
PyObject *db_subscript(PyObject *self, PyObject *key_obj);
int db_ass_subscript(PyObject *self, PyObject *key_obj, PyObject *value_obj);
Py_ssize_t db_length(PyObject *self);
int db_contains(PyObject *self, PyObject *key_obj);
int db_bool(PyObject *self);

// dict_methods.cpp
PyObject *db_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *db_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *clear_records(database_object &db);
extern const char get_doc[];
extern const char setdefault_doc[];
extern const char clear_doc[];

// traversal.cpp
PyObject *db_keys(PyObject *self, PyTypeObject *defining_class, PyObject *const *args,
                  Py_ssize_t nargs, PyObject *kwnames);
PyObject *first_key(database_object &db);
PyObject *db_nextkey(PyObject *self, PyTypeObject *defining_class, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames);
extern const char keys_doc[];
extern const char firstkey_doc[];
extern const char nextkey_doc[];

// maintenance.cpp
PyObject *sync_file(database_object &db);
PyObject *reorganize_file(database_object &db);
extern const char sync_doc[];
extern const char reorganize_doc[];

// compaction.cpp
PyObject *db_compact(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
// compact()'s body; `operation` is the method the caller called ("compact",
// or the package's "reorganize"), which refusals name.
PyObject *compact_file(database_object &db, PyObject *progress, const char *operation);
extern const char compact_doc[];

// recovery.cpp
// False with `error` set unless `db` may be rewritten here: opened for
// writing, in this process.
bool may_rewrite(database_object &db);
// Runs the library's recovery with `flags`, filling `report`; on failure
// nothing is left of the attempt and `error` is set.
bool run_recovery(database_object &db, gdbm_recovery *report, int flags);
PyObject *db_recover(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
extern const char recover_doc[];

// crash_tolerance.cpp
PyObject *db_failure_atomic(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames);
extern const char failure_atomic_doc[];

// apply_changes.cpp
PyObject *db_apply(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
extern const char apply_doc[];

// room.cpp
PyObject *db_reserve(PyObject *self, PyObject *changes);
extern const char reserve_doc[];
PyObject *db_release(PyObject *self, PyObject *);
extern const char release_doc[];

// backup.cpp
PyObject *db_dump(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *db_load(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
extern const char dump_doc[];
extern const char load_doc[];
PyObject *db_load_with(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
extern const char load_with_doc[];

}  // namespace kvstore

#endif
