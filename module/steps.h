// Long work as many short library calls. Between two steps the calling
// thread lets the interpreter's other threads run and tells the caller's
// progress callable how far the work has got. The thread stays attached
// across every library call; it detaches only between them.
//
// While the work runs, the object is marked busy, so no caller ever finds
// the handle halfway through: a call from another thread waits in
// ensure_open() until the work ends; one from the progress callable, or
// from a process forked meanwhile, is refused.
#ifndef KVSTORE_STEPS_H
#define KVSTORE_STEPS_H

#include "database.h"

#include <ctime>

namespace kvstore {

class Steps {
public:
    // `operation` names the work in the refusals others get ("dump", ...);
    // `progress` is borrowed: null or None when the caller gave none.
    Steps(database_object &db, const char *operation, PyObject *progress, Py_ssize_t total);
    ~Steps();
    Steps(const Steps &) = delete;
    Steps &operator=(const Steps &) = delete;

    // Counts `units` of work done. At the end of a step lets other threads
    // run, then reports progress; false with the exception set when the
    // progress callable or a signal handler raised.
    bool advance(Py_ssize_t units = 1)
    {
        done_ += units;
        return !step_over() || pause();
    }
    // Reports the work done, once, as (total, total).
    bool finish();

    Py_ssize_t done() const { return done_; }

private:
    bool step_over();
    bool pause();
    bool report(Py_ssize_t done);
    bool still_in_own_process();

    database_object &db_;
    PyObject *progress_;
    Py_ssize_t total_;
    Py_ssize_t done_ = 0;
    pid_t usable_in_;
    unsigned since_clock_ = 0;
    timespec step_start_{};
    Py_ssize_t reported_ = -1;  // the last count reported
    unsigned units_per_clock_read_ = 1;  // grows while units are short
    timespec last_read_{};
};

}  // namespace kvstore

#endif
