// What every change goes through: it is made in the process that opened the
// database, and with 's' it is on the disk before the call returns.
#include "database.h"

#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <unistd.h>

namespace kvstore {

namespace {

// getpid() is a system call and every change asks for the pid, so it is
// kept here, renewed in the child of each fork(). The module is never
// unloaded, so the handler stays valid for the life of the process.
std::atomic<pid_t> current_pid{0};

void renew_pid()
{
    current_pid.store(getpid(), std::memory_order_relaxed);
}

}  // namespace

pid_t this_process()
{
    static const bool watching = (renew_pid(), pthread_atfork(nullptr, nullptr, renew_pid) == 0);
    if (!watching) {
        // Without the handler the kept pid may be a parent's: ask each time.
        return getpid();
    }
    return current_pid.load(std::memory_order_relaxed);
}

bool may_change(database_object *db, module_state *state)
{
    pid_t here = this_process();
    if (db->opener == here) {
        return true;
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(state->error_type,
                     "the database was opened in another process (pid %ld), not in this one "
                     "(pid %ld): a change made here would be lost; open the file again in "
                     "this process to change it",
                     static_cast<long>(db->opener), static_cast<long>(here));
    }
    return false;
}

bool raise_unreported_flush_failure(database_object *db, module_state *state)
{
    // In this mode the library flushes some changes itself and, when such a
    // flush fails, still reports success; only its last error tells.
    if (gdbm_last_errno(db->handle) != GDBM_FILE_SYNC_ERROR) {
        return false;
    }
    errno = gdbm_last_syserr(db->handle);
    raise_errno_first(state, "gdbm_sync() error");
    return true;
}

bool flush_change(database_object *db, module_state *state)
{
    if (raise_unreported_flush_failure(db, state)) {
        return false;
    }
    errno = 0;
    if (gdbm_sync(db->handle) == 0) {
        return true;
    }
    raise_errno_first(state, "gdbm_sync() error");
    return false;
}

}  // namespace kvstore
