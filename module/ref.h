// An owned strong reference: moved, never copied; released when its owner goes.
#ifndef KVSTORE_REF_H
#define KVSTORE_REF_H

#include <Python.h>

#include <utility>

namespace kvstore {

class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference (or of null, after a failed call).
    static Ref take(PyObject *owned) noexcept { return Ref(owned); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept
    {
        Py_XDECREF(std::exchange(obj_, other.release()));
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // The object, still owned here: the caller gets a borrowed reference.
    PyObject *get() const noexcept { return obj_; }
    // Gives ownership up to the caller.
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject *owned) noexcept : obj_(owned) {}

    PyObject *obj_ = nullptr;
};

}  // namespace kvstore

#endif
