// Conversion of the caller's keys and values for the library.
#include "convert.h"

namespace kvstore {

namespace {

// The refusal of an object the position cannot take, worded as the
// interpreter's argument parser words it.
bool refuse(const Position &position, const char *expected, PyObject *obj)
{
    if (position.refusal != nullptr) {
        PyErr_SetString(PyExc_TypeError, position.refusal);
    }
    else {
        PyErr_Format(PyExc_TypeError, "%s must be %.50s, not %.50s", position.argument, expected,
                     obj == Py_None ? "None" : Py_TYPE(obj)->tp_name);
    }
    return false;
}

// A conversion failed with an exception set: a position with a refusal text
// of its own reports that instead, unless memory ran out.
bool refuse_pending(const Position &position)
{
    if (position.refusal != nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_SetString(PyExc_TypeError, position.refusal);
    }
    return false;
}

}  // namespace

bool InputDatum::convert_other(PyObject *obj, const Position &position)
{
    if (PyBytes_Check(obj)) {
        return point_to(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    }
    if (PyUnicode_Check(obj)) {
        Py_ssize_t size;
        const char *data = fallible::utf8_of(obj, &size);
        return data != nullptr ? point_to(data, size) : refuse_pending(position);
    }
    if (position.str_or_bytes_only) {
        PyErr_Format(PyExc_TypeError, "gdbm key must be bytes or string, not %.100s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    return hold_buffer(obj, position);
}

bool InputDatum::hold_buffer(PyObject *obj, const Position &position)
{
    // An exporter that wants to hear of the release may hand out writable
    // storage that changes under the library: refused, as the "s#" unit does.
    PyBufferProcs *procs = Py_TYPE(obj)->tp_as_buffer;
    if (procs != nullptr && procs->bf_releasebuffer != nullptr) {
        return refuse(position, "read-only bytes-like object", obj);
    }
    if (fallible::get_buffer(obj, &view_, PyBUF_SIMPLE) < 0) {
        return refuse_pending(position);
    }
    held_ = true;
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
        return refuse(position, "contiguous buffer", obj);
    }
    return point_to(static_cast<const char *>(view_.buf), view_.len);
}

}  // namespace kvstore
