// Keys and values on their way to and from the library: the owner of a
// caller's key or value for the length of a library call, and the owner of
// every buffer the library hands back.
#ifndef KVSTORE_CONVERT_H
#define KVSTORE_CONVERT_H

#include "kvstore.h"

#include <climits>
#include <cstdlib>
#include <memory>

namespace kvstore {

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

// A key or value on its way to the library, pointing into the Python
// object's own storage: nothing is copied. bytes and str storage lives as
// long as the object; any other exporter may hand out storage that lives
// only as long as its buffer, so that buffer is held until the call is over.
class InputDatum {
public:
    InputDatum() noexcept = default;
    InputDatum(const InputDatum &) = delete;
    InputDatum &operator=(const InputDatum &) = delete;
    ~InputDatum()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    datum get() const noexcept { return datum_; }

    bool point(PyObject *obj, const char *data, Py_ssize_t size);

    // For storage that outlives the call without a held buffer (bytes, str).
    bool point_to(const char *data, Py_ssize_t size)
    {
        if (!fits_in_int(size)) {
            return false;
        }
        datum_ = datum{const_cast<char *>(data), static_cast<int>(size)};
        return true;
    }

private:
    // The library measures records with an int.
    static bool fits_in_int(Py_ssize_t size)
    {
        if (size <= INT_MAX) {
            return true;
        }
        PyErr_SetString(PyExc_OverflowError, "size does not fit in an int");
        return false;
    }

    datum datum_{nullptr, 0};
    // Read only while held_: zeroing its 80 bytes would cost every store and
    // fetch two memsets for the rare buffer exporter.
    Py_buffer view_;
    bool held_ = false;
};

// to_datum for anything but an exact bytes object.
bool convert_datum(PyObject *obj, InputDatum &out, const char *failure_text);

// Converts a key or value the way the "s#" format unit does. With a failure
// text, a refused object raises TypeError with that text instead of the
// interpreter's own exception. Exact bytes, the common case, is settled
// here, inline in every caller.
inline bool to_datum(PyObject *obj, InputDatum &out, const char *failure_text)
{
    if (PyBytes_CheckExact(obj)) {
        return out.point_to(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    }
    return convert_datum(obj, out, failure_text);
}

// The membership test takes only str and bytes (and their subclasses).
bool to_membership_datum(PyObject *key, InputDatum &out);

// A key the library hands out, as bytes; None when the library has no more
// keys; an exception when the library failed instead.
PyObject *key_or_none(const LibDatum &key, module_state *state, const char *fallback);

}  // namespace kvstore

#endif
