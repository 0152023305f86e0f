// Reading a dump file in either of gdbm's formats (dump_format.h): every
// record, read and checked whole before load() stores any.
#ifndef KVSTORE_DUMP_READER_H
#define KVSTORE_DUMP_READER_H

#include "dump_metadata.h"
#include "growing.h"
#include "kvstore.h"
#include "steps.h"

namespace kvstore {

class DumpContents {
public:
    // Reads the dump open on `fd` (`name` in errors), one step per key or
    // value. False with `error` set: "Malformed data: NAME, line N" (or
    // "byte N" in a binary dump) for a file that is not a whole dump.
    bool read(module_state *state, const char *name, int fd, Steps &steps);

    size_t records() const { return ends_.size() / 2; }
    datum key(size_t record) const { return item(2 * record); }
    datum value(size_t record) const { return item(2 * record + 1); }
    const FileMetadata &metadata() const { return metadata_; }

    // For the grammars (dump_grammars.h), which fill these in.
    FileMetadata &metadata() { return metadata_; }
    // Room at next() for the next key or value, of `size` bytes; false with
    // MemoryError set.
    bool make_room(size_t size) { return bytes_.reserve_more(size); }
    char *next() { return bytes_.data() + bytes_.size(); }
    // Counts the next key or value, its `size` bytes written at next().
    bool add(size_t size)
    {
        bytes_.extend(size);
        return ends_.push_back(bytes_.size());
    }
    // Whether the last key read has its value.
    bool pairs_whole() const { return ends_.size() % 2 == 0; }

private:
    datum item(size_t index) const;

    Growing<char> bytes_;
    Growing<size_t> ends_;  // where each key and value ends in bytes_
    FileMetadata metadata_;
};

}  // namespace kvstore

#endif
