// The module's error paths. Each raises where no exception is pending yet
// (debug builds assert it): a path that reaches one with an exception set
// would hide the first failure, the one the caller must see.
#ifndef KVSTORE_ERRORS_H
#define KVSTORE_ERRORS_H

#include "kvstore.h"

namespace kvstore {

inline int library_errno() { return gdbm_errno; }

void raise_library_error(module_state *state, const char *fallback);
// The system's error when the failed call left one in errno (with the file
// name when given), else the library's.
void raise_errno_first(module_state *state, const char *fallback, const char *filename = nullptr);
void raise_error(module_state *state, const char *message);
// `error` with the system error `number` and the module's own `text` in
// place of the system's, and the file name when given.
void raise_os_error(module_state *state, int number, const char *text,
                    const char *filename = nullptr);

// Unless the library's error number says the call simply found nothing,
// raises the library's error and returns true.
bool raise_unless_miss(module_state *state, const char *fallback, bool no_error_is_miss = false);

}  // namespace kvstore

#endif
