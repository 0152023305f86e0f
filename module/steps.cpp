// The pacing of long work (steps.h).
#include "steps.h"

#include <cassert>

namespace kvstore {

namespace {

// A step ends after this long: short enough that a thread waiting for the
// interpreter runs within a few milliseconds, long enough that the pauses
// cost nothing measurable.
constexpr long step_nanoseconds = 2'000'000;
// How long a pause leaves the interpreter to other threads.
constexpr long pause_nanoseconds = 50'000;
// The clock is read once in this many units of work.
constexpr unsigned units_per_clock_read = 32;

timespec now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

long nanoseconds_between(const timespec &start, const timespec &end)
{
    return (end.tv_sec - start.tv_sec) * 1'000'000'000L + (end.tv_nsec - start.tv_nsec);
}

}  // namespace

void raise_unavailable(database_object *db, module_state *state)
{
    if (db->handle == nullptr) {
        raise_error(state, closed_message);
        return;
    }
    assert(!PyErr_Occurred());
    PyErr_Format(state->error_type,
                 "%s() is in progress on this database: wait until it returns",
                 db->busy_with);
}

Steps::Steps(database_object *db, const char *operation, PyObject *progress, Py_ssize_t total)
    : db_(db), progress_(progress == Py_None ? nullptr : progress), total_(total),
      step_start_(now())
{
    assert(db->busy_with == nullptr);
    db->busy_with = operation;
}

Steps::~Steps()
{
    db_->busy_with = nullptr;
}

bool Steps::step_over()
{
    if (++since_clock_ < units_per_clock_read) {
        return false;
    }
    since_clock_ = 0;
    return nanoseconds_between(step_start_, now()) >= step_nanoseconds;
}

bool Steps::pause()
{
    // Detaching wakes a thread that waits for the interpreter, but it needs
    // a moment to run and take it: attaching again at once would win the
    // race nearly every time, and since each detach counts as a switch, the
    // waiter would never ask for its turn. The pause leaves it that moment.
    Py_BEGIN_ALLOW_THREADS
    timespec moment{0, pause_nanoseconds};
    nanosleep(&moment, nullptr);
    Py_END_ALLOW_THREADS
    step_start_ = now();
    return PyErr_CheckSignals() == 0 && report(done_);
}

bool Steps::report(Py_ssize_t done)
{
    // A report that repeats the last one tells nothing.
    if (progress_ == nullptr || done == reported_) {
        return true;
    }
    reported_ = done;
    PyObject *result = PyObject_CallFunction(progress_, "nn", done, total_);
    Py_XDECREF(result);
    return result != nullptr;
}

bool Steps::finish()
{
    return report(total_);
}

}  // namespace kvstore
