// The fault-injection build's counter of fallible calls (module/fault.h).
// One counter for the process: the sweep arms it, runs one operation and
// reads back how many calls the operation made.
#include "fault.h"

#ifdef KVSTORE_FAULT_INJECTION

#include <atomic>

namespace kvstore::fault {

namespace {

std::atomic<long> counted{0};
std::atomic<long> fail_at{0};

}  // namespace

bool injected()
{
    if (counted.fetch_add(1) + 1 != fail_at.load()) {
        return false;
    }
    PyErr_NoMemory();
    return true;
}

PyObject *fault_at(PyObject *, PyObject *arg)
{
    long n = PyLong_AsLong(arg);
    if (n == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    fail_at.store(0);
    long previous = counted.exchange(0);
    fail_at.store(n);
    return PyLong_FromLong(previous);
}

}  // namespace kvstore::fault

#endif
