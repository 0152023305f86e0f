// The files this module opens itself (files.h).
#include "files.h"

#include "errors.h"

#include <cerrno>
#include <cstring>

namespace kvstore {

MadeFile::~MadeFile()
{
    struct stat now;
    if (name_ != nullptr && getpid() == maker_ && lstat(name_, &now) == 0 &&
        now.st_dev == device_ && now.st_ino == inode_) {
        unlink(name_);
    }
}

bool ensure_regular(module_state *state, const struct stat &status, const char *name)
{
    if (S_ISDIR(status.st_mode)) {
        raise_failure(state, system_failure(EISDIR, std::strerror(EISDIR), name));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        raise_failure(state, system_failure(EINVAL, "Not a regular file", name));
        return false;
    }
    return true;
}

}  // namespace kvstore
