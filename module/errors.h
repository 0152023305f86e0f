// The one door from a failure to the module's `error`: raise_failure() for
// what a library or system call left behind, raise_error() for the module's
// own messages. Both raise only where no exception is pending (debug builds
// assert it): a path that reached one with an exception set would hide the
// first failure, the one the caller must see.
#ifndef KVSTORE_ERRORS_H
#define KVSTORE_ERRORS_H

#include "kvstore.h"

#include <cerrno>

namespace kvstore {

inline int library_errno() { return gdbm_errno; }

// Runs a library or system call whose failure is reported with
// errno_first(): errno is cleared just before it, so that a nonzero errno
// afterwards is the call's own.
template <class Call>
inline auto errno_first_call(Call &&call) -> decltype(call())
{
    errno = 0;
    return call();
}

// How a failed call is reported.
struct Failure {
    enum class Source { library, errno_first, system } source;
    // The call's name as a fallback text ("gdbm_store() error"), or the
    // text of a system error.
    const char *text;
    const char *filename;
    int number;
};

// The library's message for its error number, or `fallback` when it has
// none.
constexpr Failure library_failure(const char *fallback)
{
    return {Failure::Source::library, fallback, nullptr, 0};
}

// The system's error when the call (run through errno_first_call) left one
// in errno, with the file name when given; the library's otherwise.
constexpr Failure errno_first(const char *fallback, const char *filename = nullptr)
{
    return {Failure::Source::errno_first, fallback, filename, 0};
}

// The system error `number` described by the module's own `text`, with the
// file name when given.
constexpr Failure system_failure(int number, const char *text, const char *filename = nullptr)
{
    return {Failure::Source::system, text, filename, number};
}

void raise_failure(module_state *state, const Failure &failure);

// `error` with the module's own message, formatted as PyUnicode_FromFormat
// formats (%R, %zd, %s...).
void raise_error(module_state *state, const char *format, ...);

// Unless the library's error number says the call simply found nothing,
// raises the library's error and returns true.
bool raise_unless_miss(module_state *state, const char *fallback, bool no_error_is_miss = false);

}  // namespace kvstore

#endif
