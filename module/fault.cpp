// The fault-injection build's counter of fallible calls (module/fault.h).
// One counter for the process: the sweep arms it, runs one operation and
// reads back how many calls the operation made and which one failed.
#include "fault.h"

#ifdef KVSTORE_FAULT_INJECTION

#include <atomic>
#include <cstring>

namespace kvstore::fault {

namespace {

std::atomic<long> counted{0};
std::atomic<long> fail_at{0};
// Where the chosen call was made, once it has failed.
std::source_location failed_site;
std::atomic<bool> failed{false};

const char *base_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

}  // namespace

bool injected(std::source_location where)
{
    if (counted.fetch_add(1) + 1 != fail_at.load()) {
        return false;
    }
    failed_site = where;
    failed.store(true);
    PyErr_NoMemory();
    return true;
}

// Returns (calls counted since the previous call, "file:line" of the call
// that failed or None), then arms the n-th call from now on.
PyObject *fault_at(PyObject *, PyObject *arg)
{
    long n = PyLong_AsLong(arg);
    if (n == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    fail_at.store(0);
    long previous = counted.exchange(0);
    PyObject *site = failed.exchange(false)
                         ? PyUnicode_FromFormat("%s:%u", base_name(failed_site.file_name()),
                                                static_cast<unsigned>(failed_site.line()))
                         : Py_NewRef(Py_None);
    PyObject *result = site == nullptr ? nullptr : Py_BuildValue("(lN)", previous, site);
    fail_at.store(n);
    return result;
}

}  // namespace kvstore::fault

#endif
