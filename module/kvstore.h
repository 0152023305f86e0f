// Shared pieces of the _kvstore extension: the module state, the owners that
// make "released on every path" hold by construction, and the error helpers.
#ifndef KVSTORE_H
#define KVSTORE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gdbm.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>

// Argument helpers that libpython 3.13 exports but declares only in its
// internal headers. The module needs their exact messages; the signatures
// below are those of the 3.13 ABI.
extern "C" {
PyAPI_FUNC(int) _PyArg_CheckPositional(const char *, Py_ssize_t, Py_ssize_t, Py_ssize_t);
PyAPI_FUNC(void) _PyArg_BadArgument(const char *, const char *, const char *, PyObject *);
PyAPI_FUNC(int) _PyArg_ParseStackAndKeywords(PyObject *const *, Py_ssize_t, PyObject *,
                                             struct _PyArg_Parser *, ...);
}

namespace kvstore {

// Per-module state; the interpreter allocates it zeroed and the teardown
// hooks release both references.
struct module_state {
    PyTypeObject *database_type;
    PyObject *error_type;
};

// An owned strong reference: moved, never copied.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject *owned) noexcept : obj_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.steal()) {}
    Ref &operator=(Ref &&other) noexcept
    {
        Py_XDECREF(std::exchange(obj_, other.steal()));
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *borrow() const noexcept { return obj_; }
    PyObject *steal() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject *obj_ = nullptr;
};

// A buffer that gdbm handed to the caller, freed with free() when its owner goes.
struct FreeDeleter {
    void operator()(char *p) const noexcept { std::free(p); }
};

class LibDatum {
public:
    explicit LibDatum(datum d) noexcept : buf_(d.dptr), size_(d.dsize) {}
    explicit operator bool() const noexcept { return buf_ != nullptr; }
    datum view() const noexcept { return datum{buf_.get(), size_}; }
    PyObject *to_bytes() const { return PyBytes_FromStringAndSize(buf_.get(), size_); }

private:
    std::unique_ptr<char, FreeDeleter> buf_;
    int size_;
};

inline int library_errno() { return gdbm_errno; }

// The module's error paths. None of them replaces an exception that is
// already pending: the first failure is the one the caller sees.
void raise_library_error(module_state *state, const char *fallback);
void raise_errno_first(module_state *state, const char *fallback);
void raise_error(module_state *state, const char *message);

// Unless the library's error number says the call simply found nothing,
// raises the library's error and returns true.
bool raise_unless_miss(module_state *state, const char *fallback, bool no_error_is_miss = false);

// The gdbm type and open(), defined beside the type.
extern PyType_Spec database_spec;
PyObject *open_database(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
extern const char open_doc[];

// Method pointers of any calling convention, as the method table stores them.
template <class F>
PyCFunction as_cfunction(F function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace kvstore

#endif
