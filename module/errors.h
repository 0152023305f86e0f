// The module's error paths. None of them replaces an exception that is
// already pending: the first failure is the one the caller sees.
#ifndef KVSTORE_ERRORS_H
#define KVSTORE_ERRORS_H

#include "kvstore.h"

namespace kvstore {

inline int library_errno() { return gdbm_errno; }

void raise_library_error(module_state *state, const char *fallback);
void raise_errno_first(module_state *state, const char *fallback);
void raise_error(module_state *state, const char *message);

// Unless the library's error number says the call simply found nothing,
// raises the library's error and returns true.
bool raise_unless_miss(module_state *state, const char *fallback, bool no_error_is_miss = false);

}  // namespace kvstore

#endif
