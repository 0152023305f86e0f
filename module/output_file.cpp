// The file dump() writes (output_file.h).
#include "output_file.h"

#include "convert.h"
#include "errors.h"
#include "files.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace kvstore {

namespace {

// Writes are gathered up to this size: few system calls, little memory.
constexpr size_t buffer_size = 65536;
// A file that appears at the end of a dangling link while it is followed
// sends the check back to the start, a few times at most.
constexpr int name_attempts = 100;
// The symbolic links followed to a missing file, as the system follows them.
constexpr int max_links = 40;

bool copy_name(Growing<char> &to, const char *name)
{
    size_t length = std::strlen(name);
    to.resize_down(0);
    if (!to.reserve_more(length + 1)) {
        return false;
    }
    std::memcpy(to.data(), name, length + 1);
    to.extend(length + 1);
    return true;
}

}  // namespace

bool OutputFile::fail()
{
    raise_failure(state_, errno_first("dump file error", shown_));
    return false;
}

bool OutputFile::refuse_protected()
{
    raise_failure(state_, system_failure(EINVAL,
                                         "This is the database's own file: a dump cannot "
                                         "replace it",
                                         shown_));
    return false;
}

bool OutputFile::is_protected(const struct stat &named) const
{
    return named.st_dev == protected_device_ && named.st_ino == protected_inode_;
}

bool OutputFile::create(const struct stat &protected_file)
{
    protected_device_ = protected_file.st_dev;
    protected_inode_ = protected_file.st_ino;
    for (int attempt = 0; attempt < name_attempts; ++attempt) {
        struct stat replaced;
        if (errno_first_call([&] { return stat(shown_, &replaced); }) == 0) {
            if (!ensure_regular(state_, replaced, shown_)) {
                return false;
            }
            if (is_protected(replaced)) {
                return refuse_protected();
            }
            // Through a symbolic link the file it names is replaced, not the link.
            CString resolved(realpath(shown_, nullptr));
            if (!resolved) {
                return fail();
            }
            return copy_name(final_, resolved.get()) && open_unfinished(&replaced);
        }
        if (errno != ENOENT) {
            return fail();
        }
        int found = missing_target();
        if (found < 0) {
            return false;
        }
        if (found > 0) {
            return open_unfinished(nullptr);
        }
    }
    errno = EAGAIN;
    return fail();
}

// `name` with its last part replaced by `target`, a link's contents: a
// relative target is taken from the link's folder.
bool OutputFile::link_target(Growing<char> &name, const char *target, size_t length)
{
    const char *slash = std::strrchr(name.data(), '/');
    size_t kept = target[0] == '/' || slash == nullptr
                      ? 0
                      : static_cast<size_t>(slash - name.data()) + 1;
    name.resize_down(kept);
    if (!name.reserve_more(length + 1)) {
        return false;
    }
    std::memcpy(name.data() + kept, target, length);
    name.data()[kept + length] = '\0';
    name.extend(length + 1);
    return true;
}

// Nothing is at shown_: either the name is missing, and taken as given,
// or it is a symbolic link (through others, maybe) to a missing file. As
// through a link to a file, the file it names is written, beside its
// target and renamed over it, never the link itself; a missing folder
// there refuses the dump with the name given. 1 once final_ is chosen; 0
// when a file appeared meanwhile; -1 with `error` set.
int OutputFile::missing_target()
{
    Growing<char> name;
    Growing<char> target;
    if (!copy_name(name, shown_)) {
        return -1;
    }
    int links = 0;
    for (;; ++links) {
        struct stat status;
        if (lstat(name.data(), &status) != 0) {
            if (errno != ENOENT) {
                fail();
                return -1;
            }
            break;
        }
        if (!S_ISLNK(status.st_mode)) {
            return 0;  // something appeared at the end of the links
        }
        if (links == max_links) {
            errno = ELOOP;
            fail();
            return -1;
        }
        if (!target.reserve_more(PATH_MAX + 1)) {
            return -1;
        }
        ssize_t length = readlink(name.data(), target.data(), PATH_MAX + 1);
        if (length < 0 || length > PATH_MAX) {
            if (length > PATH_MAX) {
                errno = ENAMETOOLONG;
            }
            fail();
            return -1;
        }
        target.data()[length] = '\0';
        if (!link_target(name, target.data(), static_cast<size_t>(length))) {
            return -1;
        }
    }
    if (links == 0) {
        return copy_name(final_, shown_) ? 1 : -1;  // a missing name, no link
    }
    // The folder the last link points into, resolved as for a link to a
    // file: it must exist.
    char *slash = std::strrchr(name.data(), '/');
    const char *base = slash == nullptr ? name.data() : slash + 1;
    if (*base == '\0' || std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0) {
        errno = EISDIR;
        fail();
        return -1;
    }
    if (slash != nullptr) {
        *slash = '\0';
    }
    CString folder(realpath(slash == nullptr ? "." : slash == name.data() ? "/" : name.data(),
                            nullptr));
    if (!folder) {
        fail();
        return -1;
    }
    size_t folder_length = std::strlen(folder.get());
    size_t base_length = std::strlen(base);
    final_.resize_down(0);
    if (!final_.reserve_more(folder_length + base_length + 2)) {
        return -1;
    }
    char *to = final_.data();
    std::memcpy(to, folder.get(), folder_length);
    if (folder_length == 0 || to[folder_length - 1] != '/') {
        to[folder_length++] = '/';
    }
    std::memcpy(to + folder_length, base, base_length + 1);
    final_.extend(folder_length + base_length + 1);
    return 1;
}

bool OutputFile::open_unfinished(const struct stat *replaced)
{
    // No more permission than the file replaced has, from the start: nobody
    // who may not read that file can open this one before its mode is set.
    if (!buffer_.reserve_more(buffer_size) ||
        !file_.create(final_.data(), unfinished_dump,
                      replaced != nullptr ? replaced->st_mode & 0777 : 0666)) {
        return false;
    }
    // A file that is replaced keeps its mode, set bits included.
    return replaced == nullptr || fchmod(file_.fd(), replaced->st_mode & 07777) == 0 || fail();
}

bool OutputFile::write_all(const char *data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(file_.fd(), data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = ENOSPC;
            }
            return fail();
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool OutputFile::flush()
{
    bool written = write_all(buffer_.data(), buffer_.size());
    buffer_.resize_down(0);
    return written;
}

bool OutputFile::put(const char *data, size_t size)
{
    if (size > buffer_size - buffer_.size() && !flush()) {
        return false;
    }
    if (size >= buffer_size) {
        return write_all(data, size);
    }
    std::memcpy(buffer_.data() + buffer_.size(), data, size);
    buffer_.extend(size);
    return true;
}

bool OutputFile::commit()
{
    return flush() && file_.commit(ReplacingFile::Flush::whole, [this] {
        // The name may have been pointed at the database since create().
        struct stat named;
        return !file_.target_status(named) || !is_protected(named) || refuse_protected();
    });
}

}  // namespace kvstore
