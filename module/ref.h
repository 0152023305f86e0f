// An owned strong reference: moved, never copied; released when its owner goes.
#ifndef KVSTORE_REF_H
#define KVSTORE_REF_H

#include <Python.h>

#include <utility>

namespace kvstore {

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

}  // namespace kvstore

#endif
