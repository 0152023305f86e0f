// A dump file's records, read whole (dump_reader.h) before load() stores
// any: the keys and values one after another in one buffer, and the file's
// metadata. The grammars (dump_grammars.h) fill it in.
#ifndef KVSTORE_DUMP_CONTENTS_H
#define KVSTORE_DUMP_CONTENTS_H

#include "dump_metadata.h"
#include "growing.h"
#include "kvstore.h"

namespace kvstore {

class DumpContents {
public:
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
    datum item(size_t index) const
    {
        size_t start = index == 0 ? 0 : ends_[index - 1];
        // The library takes a pointer to change, but reads it only; it
        // refuses a null one, which a dump of empty items alone leaves here.
        static char nothing[1] = "";
        char *bytes = bytes_.data() != nullptr ? const_cast<char *>(bytes_.data()) : nothing;
        return datum{bytes + start, static_cast<int>(ends_[index] - start)};
    }

    Growing<char> bytes_;
    Growing<size_t> ends_;  // where each key and value ends in bytes_
    FileMetadata metadata_;
};

}  // namespace kvstore

#endif
