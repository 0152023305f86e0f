// Error reporting: turns the library's and the system's error numbers into
// the module's `error` exceptions.
#include "errors.h"

#include "fault.h"
#include "ref.h"

#include <cassert>
#include <cerrno>

namespace kvstore {

void raise_error(module_state *state, const char *message)
{
    assert(!PyErr_Occurred());
    PyErr_SetString(state->error_type, message);
}

void raise_os_error(module_state *state, int number, const char *text, const char *filename)
{
    assert(!PyErr_Occurred());
    Ref name;
    if (filename != nullptr) {
        name = Ref::take(fallible::decode_fs(filename));
        if (!name) {
            return;
        }
    }
    Ref exc = Ref::take(fault::injected() ? nullptr
                        : name            ? PyObject_CallFunction(state->error_type, "isO", number,
                                                                  text, name.borrow())
                                          : PyObject_CallFunction(state->error_type, "is", number,
                                                                  text));
    if (exc) {
        PyErr_SetObject(state->error_type, exc.borrow());
    }
}

void raise_library_error(module_state *state, const char *fallback)
{
    assert(!PyErr_Occurred());
    const char *message = gdbm_strerror(static_cast<gdbm_error>(library_errno()));
    if (message == nullptr) {
        PyErr_SetString(state->error_type, fallback);
        return;
    }
    // The text comes in the locale's encoding; an undecodable byte survives
    // as a surrogate escape rather than hiding the library's report.
    Ref text = Ref::take(fallible::decode_locale(message, "surrogateescape"));
    if (text) {
        PyErr_SetObject(state->error_type, text.borrow());
    }
}

void raise_errno_first(module_state *state, const char *fallback, const char *filename)
{
    assert(!PyErr_Occurred());
    if (errno != 0) {
        PyErr_SetFromErrnoWithFilename(state->error_type, filename);
    }
    else {
        raise_library_error(state, fallback);
    }
}

bool raise_unless_miss(module_state *state, const char *fallback, bool no_error_is_miss)
{
    int code = library_errno();
    if (code == GDBM_ITEM_NOT_FOUND || (no_error_is_miss && code == GDBM_NO_ERROR)) {
        return false;
    }
    raise_library_error(state, fallback);
    return true;
}

}  // namespace kvstore
