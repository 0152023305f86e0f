// Error reporting: turns the library's and the system's error numbers, and
// the module's own messages, into `error` exceptions.
#include "errors.h"

#include "fault.h"
#include "ref.h"

#include <cassert>
#include <cstdarg>

namespace kvstore {

namespace {

void raise_library_error(module_state *state, const char *fallback)
{
    const char *message = gdbm_strerror(static_cast<gdbm_error>(library_errno()));
    if (message == nullptr) {
        PyErr_SetString(state->error_type, fallback);
        return;
    }
    // The text comes in the locale's encoding; an undecodable byte survives
    // as a surrogate escape rather than hiding the library's report.
    Ref text = Ref::take(fallible::decode_locale(message, "surrogateescape"));
    if (text) {
        PyErr_SetObject(state->error_type, text.get());
    }
}

void raise_system_error(module_state *state, int number, const char *text, const char *filename)
{
    Ref name;
    if (filename != nullptr) {
        name = Ref::take(fallible::decode_fs(filename));
        if (!name) {
            return;
        }
    }
    Ref exc = Ref::take(fault::injected() ? nullptr
                        : name            ? PyObject_CallFunction(state->error_type, "isO", number,
                                                                  text, name.get())
                                          : PyObject_CallFunction(state->error_type, "is", number,
                                                                  text));
    if (exc) {
        PyErr_SetObject(state->error_type, exc.get());
    }
}

}  // namespace

void raise_failure(module_state *state, const Failure &failure)
{
    assert(!PyErr_Occurred());
    switch (failure.source) {
    case Failure::Source::errno_first:
        if (errno != 0) {
            PyErr_SetFromErrnoWithFilename(state->error_type, failure.filename);
            return;
        }
        raise_library_error(state, failure.text);
        return;
    case Failure::Source::library:
        raise_library_error(state, failure.text);
        return;
    case Failure::Source::system:
        raise_system_error(state, failure.number, failure.text, failure.filename);
        return;
    }
}

void raise_error(module_state *state, const char *format, ...)
{
    assert(!PyErr_Occurred());
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(state->error_type, format, arguments);
    va_end(arguments);
}

bool raise_unless_miss(module_state *state, const char *fallback, bool no_error_is_miss)
{
    int code = library_errno();
    if (code == GDBM_ITEM_NOT_FOUND || (no_error_is_miss && code == GDBM_NO_ERROR)) {
        return false;
    }
    raise_failure(state, library_failure(fallback));
    return true;
}

}  // namespace kvstore
