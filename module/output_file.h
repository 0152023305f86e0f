// The file dump() writes, buffered: made beside its final name and renamed
// over it (files.h) only once every byte is written and on the disk, so that
// a failed dump never leaves a short file that looks like a backup.
#ifndef KVSTORE_OUTPUT_FILE_H
#define KVSTORE_OUTPUT_FILE_H

#include "files.h"
#include "growing.h"
#include "kvstore.h"

#include <sys/stat.h>

namespace kvstore {

class OutputFile {
public:
    // `shown` names the file in errors: the name the caller gave.
    OutputFile(module_state *state, const char *shown) noexcept
        : state_(state), shown_(shown), file_(state, shown)
    {
    }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Checks the name and creates the unfinished file beside it. Refused:
    // a name that is not a regular file, and the file `protected_file`
    // (the database's own), however it is named. False with `error` set.
    bool create(const struct stat &protected_file);
    // Buffers or writes `size` bytes; false with `error` set.
    bool put(const char *data, size_t size);
    // Writes out the rest, flushes it to the disk and renames it over the
    // final name. False with `error` set.
    bool commit();

private:
    int missing_target();
    static bool link_target(Growing<char> &name, const char *target, size_t length);
    bool open_unfinished(const struct stat *replaced);
    bool flush();
    bool write_all(const char *data, size_t size);
    bool is_protected(const struct stat &named) const;
    bool refuse_protected();
    bool fail();

    module_state *state_;
    const char *shown_;
    dev_t protected_device_ = 0;
    ino_t protected_inode_ = 0;
    Growing<char> final_;  // NUL-terminated; the file's target
    Growing<char> buffer_;
    ReplacingFile file_;  // after final_, which it borrows
};

}  // namespace kvstore

#endif
