// The grammars of gdbm's two dump formats (dump_format.h), over a source of
// the file's bytes (dump_source.h). Each reads a whole dump into the
// contents, one step per key or value, and returns where it stopped:
// complete, at the line (in a binary dump, the byte) that the format does
// not allow, or where the source or a step failed.
#ifndef KVSTORE_DUMP_GRAMMARS_H
#define KVSTORE_DUMP_GRAMMARS_H

#include "dump_contents.h"
#include "dump_source.h"
#include "steps.h"

namespace kvstore {

struct DumpReading {
    DumpSource &in;
    DumpContents &out;
    Steps &steps;

    // Counts a key or value of `size` bytes, written at out.next(), as a
    // step; false with the exception set.
    bool item_read(size_t size) { return out.add(size) && steps.advance(); }
};

// Each starts at the first byte, which chose it: '#' for "ascii".
DumpStop read_ascii_dump(DumpReading &reading);
// '!' for "binary".
DumpStop read_binary_dump(DumpReading &reading);

}  // namespace kvstore

#endif
