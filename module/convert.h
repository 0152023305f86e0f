// Keys and values on their way to and from the library: the owner of a
// caller's key or value for the length of a library call, and the owner of
// every buffer the library hands back.
#ifndef KVSTORE_CONVERT_H
#define KVSTORE_CONVERT_H

#include "fault.h"
#include "kvstore.h"

#include <climits>
#include <cstdlib>
#include <memory>

namespace kvstore {

// A buffer that gdbm handed to the caller, freed with free() when its owner goes.
struct FreeDeleter {
    void operator()(char *p) const noexcept { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

class LibDatum {
public:
    explicit LibDatum(datum d) noexcept : buf_(d.dptr), size_(d.dsize) {}
    explicit operator bool() const noexcept { return buf_ != nullptr; }
    datum view() const noexcept { return datum{buf_.get(), size_}; }
    PyObject *to_bytes() const { return fallible::new_bytes(buf_.get(), size_); }
    // Hands the buffer on to a new owner, who frees it.
    datum release() noexcept { return datum{buf_.release(), size_}; }

private:
    CString buf_;
    int size_;
};

// What a position that takes a key or value accepts, and how it refuses the
// rest. Every position takes bytes (and subclasses) and str (and
// subclasses); all but the membership test also take any other read-only
// bytes-like object.
struct Position {
    // Names the argument in a refusal, as the interpreter's argument parser
    // would ("argument", "nextkey() argument 1").
    const char *argument;
    // When set, every refusal is a TypeError with this text instead.
    const char *refusal;
    bool str_or_bytes_only;
};

inline constexpr char bad_index_message[] = "gdbm mappings have bytes or string indices only";

// db[key], get() and setdefault() keys.
inline constexpr Position lookup_key{"argument", nullptr, false};
// Assignment and deletion keys, stored values and setdefault()'s default.
inline constexpr Position stored_item{"argument", bad_index_message, false};
inline constexpr Position nextkey_key{"nextkey() argument 1", nullptr, false};
inline constexpr Position membership_key{nullptr, nullptr, true};

// The one owner of a key or value on its way to the library, pointing into
// storage that lives at least as long as the owner: nothing is copied.
//   bytes and subclasses: the object's own contents, read directly (a
//     subclass's __buffer__ is not consulted);
//   str and subclasses: the UTF-8 form, which the str object keeps;
//   any other read-only bytes-like object: one buffer, acquired once and
//     held until the owner goes, that is until the library call returned.
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

    // Exact bytes, the common case, is settled here, inline in every caller.
    bool convert(PyObject *obj, const Position &position)
    {
        if (PyBytes_CheckExact(obj)) {
            return point_to(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
        }
        return convert_other(obj, position);
    }

private:
    bool convert_other(PyObject *obj, const Position &position);
    bool hold_buffer(PyObject *obj, const Position &position);

    // The library measures records with an int.
    bool point_to(const char *data, Py_ssize_t size)
    {
        if (size > INT_MAX) {
            PyErr_SetString(PyExc_OverflowError, "size does not fit in an int");
            return false;
        }
        datum_ = datum{const_cast<char *>(data), static_cast<int>(size)};
        return true;
    }

    datum datum_{nullptr, 0};
    // Read only while held_: zeroing its 80 bytes would cost every store and
    // fetch two memsets for the rare buffer exporter.
    Py_buffer view_;
    bool held_ = false;
};

}  // namespace kvstore

#endif
