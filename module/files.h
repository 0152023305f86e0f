// Descriptors and the files this module opens itself: database files in
// open() and dump files in load().
#ifndef KVSTORE_FILES_H
#define KVSTORE_FILES_H

#include "kvstore.h"

#include <unistd.h>
#include <utility>

namespace kvstore {

// An open descriptor, closed when its owner goes unless handed on.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    int hand_on() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Opens `name` with the access that gdbm open `flags` ask for, without
// blocking and only when it is a regular file: a FIFO would block the
// opener, a device or a folder is no file to read. False with `error` set
// (with the name) otherwise.
bool open_regular_file(module_state *state, const char *name, int flags, int mode, int *fd);

}  // namespace kvstore

#endif
