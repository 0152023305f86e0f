// Reading a dump file in either of gdbm's formats (dump_format.h): every
// record, read and checked whole before load() stores any.
#ifndef KVSTORE_DUMP_READER_H
#define KVSTORE_DUMP_READER_H

#include "dump_contents.h"
#include "kvstore.h"
#include "steps.h"

namespace kvstore {

// Reads the dump open on `fd` (`name` in errors) into `out`, one step per
// key or value. False with `error` set: "Malformed data: NAME, line N" (or
// "byte N" in a binary dump) for a file that is not a whole dump.
bool read_dump_file(module_state *state, const char *name, int fd, Steps &steps, DumpContents &out);

}  // namespace kvstore

#endif
