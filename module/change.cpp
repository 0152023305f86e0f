// What every use goes through: a database opened for writing is used only in
// the process that opened it, a change is made only there, and with 's' it
// is on the disk before the call returns.
#include "database.h"

#include <pthread.h>
#include <unistd.h>

namespace kvstore {

// getpid() is a system call and every use asks for the pid, so it is kept
// here, renewed in the child of each fork(). The module is never unloaded,
// so the handler stays valid for the life of the process. Written when the
// first object is opened, and in a child of fork(), which has one thread
// then. -1 matches no object's usable_in.
pid_t kept_process = -1;

namespace {

void renew_pid()
{
    kept_process = getpid();
}

bool watch_forks()
{
    renew_pid();
    if (pthread_atfork(nullptr, nullptr, renew_pid) == 0) {
        return true;
    }
    // The kept pid may then become a parent's: the hot path must never
    // match it, and this_process() asks the system each time.
    kept_process = -1;
    return false;
}

// "opened in another process (pid P), not in this one (pid Q): ..."
void raise_opened_elsewhere(database_object &db, pid_t here, const char *what)
{
    raise_error(db.state,
                "the database was opened in another process (pid %ld), not in this one (pid "
                "%ld): %s; open the file again in this process",
                static_cast<long>(db.opener), static_cast<long>(here), what);
}

}  // namespace

pid_t this_process()
{
    static const bool watching = watch_forks();
    return watching ? kept_process : getpid();
}

void raise_unavailable(database_object &db)
{
    if (db.handle == nullptr) {
        raise_error(db.state, closed_message);
    }
    else if (db.busy_in != this_process()) {
        raise_error(db.state,
                    "%s() was in progress on this database in another process (pid %ld) when "
                    "this one was forked from it: open the file again in this process",
                    db.busy_with, static_cast<long>(db.busy_in));
    }
    else {
        raise_error(db.state,
                    "%s() is in progress on this database: its progress callable cannot use "
                    "the database until it returns",
                    db.busy_with);
    }
}

bool may_use(database_object &db)
{
    if (!wait_for_long_work(db)) {
        return false;
    }
    if (db.handle == nullptr) {
        raise_unavailable(db);
        return false;
    }
    pid_t here = this_process();
    if (db.opener == here || !db.writable) {
        db.usable_in = here;
        return true;
    }
    raise_opened_elsewhere(db, here,
                           "it was opened for writing, and what this process would read "
                           "through it may be stale or records of other keys");
    return false;
}

bool may_change(database_object &db)
{
    pid_t here = this_process();
    if (db.opener == here) {
        return true;
    }
    raise_opened_elsewhere(db, here, "a change made here would be lost");
    return false;
}

int release_handle(GDBM_FILE handle, pid_t opener)
{
    if (opener != this_process()) {
        close(gdbm_fdesc(handle));
        return 0;
    }
    return gdbm_close(handle);
}

bool raise_unreported_flush_failure(database_object &db)
{
    // In this mode the library flushes some changes itself and, when such a
    // flush fails, still reports success; only its last error tells.
    if (gdbm_last_errno(db.handle) != GDBM_FILE_SYNC_ERROR) {
        return false;
    }
    errno = gdbm_last_syserr(db.handle);
    raise_failure(db.state, errno_first("gdbm_sync() error"));
    return true;
}

bool flush_change(database_object &db)
{
    if (raise_unreported_flush_failure(db)) {
        return false;
    }
    if (errno_first_call([&] { return gdbm_sync(db.handle); }) == 0) {
        return true;
    }
    raise_failure(db.state, errno_first("gdbm_sync() error"));
    return false;
}

}  // namespace kvstore
