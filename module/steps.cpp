// The pacing of long work (steps.h).
#include "steps.h"

#include <cassert>
#include <pthread.h>
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

// A thread waiting for a long operation wakes at least this often, to run
// the signal handlers (Ctrl-C) when it is the main thread.
constexpr long longest_wait_nanoseconds = 100'000'000;

// The end of every long operation of the process is announced here; each
// waiter then looks again at its own object. One announcement for all
// objects: long operations are few, and a waiter holds nothing of the
// object while it waits. Written only with the mutex held.
struct Endings {
    pthread_mutex_t mutex;
    pthread_cond_t ended;
    unsigned long long count;
};

// A fork() may copy the mutex while a waiter of another thread holds it:
// the child, which has no such thread, starts with a fresh one.
void start_endings(Endings &endings)
{
    pthread_mutex_init(&endings.mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&endings.ended, &attributes);
    pthread_condattr_destroy(&attributes);
    endings.count = 0;
}

Endings &endings()
{
    static Endings *const made = [] {
        static Endings kept;
        start_endings(kept);
        pthread_atfork(nullptr, nullptr, [] { start_endings(kept); });
        return &kept;
    }();
    return *made;
}

unsigned long long endings_so_far()
{
    Endings &e = endings();
    pthread_mutex_lock(&e.mutex);
    unsigned long long count = e.count;
    pthread_mutex_unlock(&e.mutex);
    return count;
}

void announce_ending()
{
    Endings &e = endings();
    pthread_mutex_lock(&e.mutex);
    ++e.count;
    pthread_cond_broadcast(&e.ended);
    pthread_mutex_unlock(&e.mutex);
}

// Sleeps until an operation ends after the `seen`th, or for the longest
// wait; the caller is detached.
void await_ending(unsigned long long seen)
{
    timespec until = now();
    until.tv_nsec += longest_wait_nanoseconds;
    if (until.tv_nsec >= 1'000'000'000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1'000'000'000L;
    }
    Endings &e = endings();
    pthread_mutex_lock(&e.mutex);
    while (e.count == seen && pthread_cond_timedwait(&e.ended, &e.mutex, &until) == 0) {
    }
    pthread_mutex_unlock(&e.mutex);
}

bool on_working_thread(const database_object &db)
{
    return db.busy_in == this_process() && db.working_thread == PyThread_get_thread_ident();
}

}  // namespace

bool wait_for_long_work(database_object &db)
{
    while (db.busy_with != nullptr) {
        if (db.busy_in != this_process() || on_working_thread(db)) {
            raise_unavailable(db);
            return false;
        }
        // Read while attached: the operation cannot end before the waiter
        // detaches (under the GIL it needs the interpreter; in the
        // free-threaded build, the object's critical section, which this
        // caller holds until it detaches).
        unsigned long long seen = endings_so_far();
        Py_BEGIN_ALLOW_THREADS
        await_ending(seen);
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
    }
    return true;
}

Steps::Steps(database_object &db, const char *operation, PyObject *progress, Py_ssize_t total)
    : db_(db), progress_(progress == Py_None ? nullptr : progress), total_(total),
      step_start_(now()), last_read_(step_start_)
{
    assert(db.busy_with == nullptr);
    db.busy_with = operation;
    db.busy_in = this_process();
    db.working_thread = PyThread_get_thread_ident();
    // ensure_open()'s one comparison then fails, and its slow path reports
    // the work in progress.
    usable_in_ = std::exchange(db.usable_in, 0);
}

Steps::~Steps()
{
    db_.busy_with = nullptr;
    db_.usable_in = usable_in_;
    announce_ending();
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
    return PyErr_CheckSignals() == 0 && still_in_own_process() && report(done_);
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
    return result != nullptr && still_in_own_process();
}

// A signal handler or the progress callable may have forked: the child's
// copy of the work would race the parent's on the same files (its rename
// would take the name from the parent's locked file), so only the parent
// goes on.
bool Steps::still_in_own_process()
{
    pid_t here = this_process();
    if (here == db_.busy_in) [[likely]] {
        return true;
    }
    raise_error(db_.state,
                "%s() cannot go on in a process forked during it (pid %ld): only the process "
                "that started it (pid %ld) goes on with it",
                db_.busy_with, static_cast<long>(here), static_cast<long>(db_.busy_in));
    return false;
}

bool Steps::finish()
{
    return report(total_);
}

}  // namespace kvstore
