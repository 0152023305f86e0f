// The pacing of long work (steps.h).
#include "steps.h"

#include <cassert>
#include <utility>

namespace kvstore {

namespace {

// A step ends after this long: short enough that a thread waiting for the
// interpreter runs within a few milliseconds, long enough that the pauses
// cost nothing measurable.
constexpr long step_nanoseconds = 2'000'000;
// The clock is read at most once in this many units of work; fewer when
// units are long (a large value to write, say), so that no step runs long
// past its end.
constexpr unsigned most_units_per_clock_read = 32;
// Reads this far apart, or more, are too rare; this near, too frequent.
constexpr long too_far_nanoseconds = step_nanoseconds / 8;
constexpr long too_near_nanoseconds = step_nanoseconds / 64;
// How long a pause leaves the interpreter to other threads.
constexpr long pause_nanoseconds = 50'000;

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

void raise_unavailable(database_object &db)
{
    if (db.handle == nullptr) {
        raise_error(db.state, closed_message);
        return;
    }
    raise_error(db.state, "%s() is in progress on this database: wait until it returns",
                db.busy_with);
}

Steps::Steps(database_object &db, const char *operation, PyObject *progress, Py_ssize_t total)
    : db_(db), progress_(progress == Py_None ? nullptr : progress), total_(total),
      step_start_(now()), last_read_(step_start_)
{
    assert(db.busy_with == nullptr);
    db.busy_with = operation;
    // ensure_open()'s one comparison then fails, and its slow path reports
    // the work in progress.
    usable_in_ = std::exchange(db.usable_in, 0);
}

Steps::~Steps()
{
    db_.busy_with = nullptr;
    db_.usable_in = usable_in_;
}

bool Steps::step_over()
{
    if (++since_clock_ < units_per_clock_read_) {
        return false;
    }
    since_clock_ = 0;
    timespec t = now();
    long since_read = nanoseconds_between(last_read_, t);
    last_read_ = t;
    if (since_read >= too_far_nanoseconds && units_per_clock_read_ > 1) {
        units_per_clock_read_ /= 2;
    }
    else if (since_read < too_near_nanoseconds &&
             units_per_clock_read_ < most_units_per_clock_read) {
        units_per_clock_read_ *= 2;
    }
    return nanoseconds_between(step_start_, t) >= step_nanoseconds;
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
