// Conversion of the caller's keys and values for the library, and of the
// library's keys for the caller.
#include "convert.h"

#include "errors.h"

namespace kvstore {

bool InputDatum::point(PyObject *obj, const char *data, Py_ssize_t size)
{
    if (!PyBytes_Check(obj) && !PyUnicode_Check(obj)) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
            return false;
        }
        held_ = true;
        data = static_cast<const char *>(view_.buf);
        size = view_.len;
    }
    return point_to(data, size);
}

bool convert_datum(PyObject *obj, InputDatum &out, const char *failure_text)
{
    const char *data = nullptr;
    Py_ssize_t size = 0;
    bool converted;
    if (PyUnicode_CheckExact(obj)) {
        data = PyUnicode_AsUTF8AndSize(obj, &size);
        converted = data != nullptr;
    }
    else {
        converted = PyArg_Parse(obj, "s#", &data, &size) != 0;
    }
    if (!converted) {
        if (failure_text != nullptr) {
            PyErr_SetString(PyExc_TypeError, failure_text);
        }
        return false;
    }
    return out.point(obj, data, size);
}

bool to_membership_datum(PyObject *key, InputDatum &out)
{
    const char *data;
    Py_ssize_t size;
    if (PyUnicode_Check(key)) {
        data = PyUnicode_AsUTF8AndSize(key, &size);
        if (data == nullptr) {
            return false;
        }
    }
    else if (PyBytes_Check(key)) {
        data = PyBytes_AS_STRING(key);
        size = PyBytes_GET_SIZE(key);
    }
    else {
        PyErr_Format(PyExc_TypeError, "gdbm key must be bytes or string, not %.100s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    return out.point(key, data, size);
}

PyObject *key_or_none(const LibDatum &key, module_state *state, const char *fallback)
{
    if (key) {
        return key.to_bytes();
    }
    if (raise_unless_miss(state, fallback)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace kvstore
