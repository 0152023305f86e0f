// recover(): the library's rewrite of a damaged database into a new file,
// which reorganize() uses too, with limits that make it all or nothing.
#include "arguments.h"
#include "interpreter_private.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <unistd.h>
#include <vector>

namespace kvstore {

namespace {

// mkstemp's letters; a backup name ("name.~1000~") has others.
bool is_ascii_alnum(char letter)
{
    return (letter >= '0' && letter <= '9') || (letter >= 'A' && letter <= 'Z') ||
           (letter >= 'a' && letter <= 'z');
}

// The library writes the new file beside the database, named after it with
// six more characters (mkstemp's "name.XXXXXX"), and leaves it behind when
// the recovery fails. The names of that form present before the call tell
// what a failed call left; no other writer can recover the same file
// meanwhile, since the library's lock keeps it out.
class Leftovers {
public:
    explicit Leftovers(const char *database)
    {
        std::string_view name(database);
        size_t slash = name.rfind('/');
        folder_ = name.substr(0, slash + 1);
        prefix_ = std::string(name.substr(slash + 1)) + ".";
        before_ = list();
    }

    void remove_new() const
    {
        for (const std::string &entry : list()) {
            if (std::find(before_.begin(), before_.end(), entry) == before_.end()) {
                unlink((folder_ + entry).c_str());
            }
        }
    }

private:
    std::vector<std::string> list() const
    {
        std::vector<std::string> found;
        std::unique_ptr<DIR, int (*)(DIR *)> folder(opendir(folder_.c_str()), closedir);
        if (!folder) {
            return found;
        }
        while (const dirent *entry = readdir(folder.get())) {
            std::string_view name(entry->d_name);
            if (name.size() == prefix_.size() + 6 && name.starts_with(prefix_) &&
                std::all_of(name.end() - 6, name.end(), is_ascii_alnum)) {
                found.emplace_back(name);
            }
        }
        return found;
    }

    std::string folder_;
    std::string prefix_;
    std::vector<std::string> before_;
};

// recover()'s limit: absent (None) or at least 1. The library takes 0 for
// no limit at all, which would turn "stop at the first failure" upside down.
bool read_limit(PyObject *value, size_t *limit, int *flags)
{
    if (value == Py_None) {
        return true;
    }
    *limit = PyLong_AsSize_t(value);
    if (*limit == static_cast<size_t>(-1) && PyErr_Occurred()) {
        return false;
    }
    if (*limit == 0) {
        PyErr_SetString(PyExc_ValueError, "max_failures must be at least 1");
        return false;
    }
    *flags |= GDBM_RCVR_MAX_FAILURES;
    return true;
}

// The library opens the rewrite itself, with mkstemp(): its descriptor,
// which the handle takes over, lacks close-on-exec, and carries the lock the
// library takes on every file it opens, a 'u' handle's too. Both are put
// right at once; until then a program that another thread starts with exec
// may inherit the descriptor. The lock was taken with flock() where the
// file system has it, with a POSIX lock otherwise: both are let go. On the
// new file no other lock of this process can exist yet.
void keep_descriptor_properties(database_object &db)
{
    int fd = gdbm_fdesc(db.handle);
    int fd_flags = fcntl(fd, F_GETFD);
    if (fd_flags != -1) {
        fcntl(fd, F_SETFD, fd_flags | FD_CLOEXEC);
    }
    if (!db.locks_file) {
        flock(fd, LOCK_UN);
        struct flock whole_file{};
        whole_file.l_type = F_UNLCK;
        whole_file.l_whence = SEEK_SET;
        fcntl(fd, F_SETLK, &whole_file);
    }
}

// With a backup, the library renames the database to the backup's name
// before it moves the rewrite in under the database's; when that move
// fails, the database is left under the backup's name only, with the handle
// on it. It gets its name back. True when the database is under its name.
bool put_back(database_object &db, const char *backup)
{
    struct stat kept, open_file;
    if (backup == nullptr || stat(backup, &kept) != 0 ||
        fstat(gdbm_fdesc(db.handle), &open_file) != 0 || kept.st_dev != open_file.st_dev ||
        kept.st_ino != open_file.st_ino) {
        // No backup was made, or the handle moved on to the rewrite, which
        // then holds the database's name.
        return true;
    }
    return rename(backup, db.name) == 0;
}

// The library stops at a limit without an error of its own ("No error"):
// the counts tell why.
bool reached_limit(const gdbm_recovery &report, int flags)
{
    size_t failures = report.failed_keys + report.failed_buckets;
    return ((flags & GDBM_RCVR_MAX_FAILURES) && failures == report.max_failures) ||
           ((flags & GDBM_RCVR_MAX_FAILED_KEYS) &&
            report.failed_keys == report.max_failed_keys) ||
           ((flags & GDBM_RCVR_MAX_FAILED_BUCKETS) &&
            report.failed_buckets == report.max_failed_buckets);
}

// After a failed recovery (`number` the errno it left): the database back
// under its name, what the attempt left removed, and `error` set to say why
// it failed.
void undo_failed_recovery(database_object &db, gdbm_recovery *report, int flags,
                          const Leftovers &leftovers, int number)
{
    CString backup(std::exchange(report->backup_name, nullptr));
    if (!put_back(db, backup.get())) {
        raise_failure(db.state,
                      system_failure(number,
                                     "the rewritten file could not take the database's name, "
                                     "nor could the database get it back: the database is now "
                                     "under this name",
                                     backup.get()));
        return;
    }
    leftovers.remove_new();
    if (reached_limit(*report, flags)) {
        raise_error(db.state,
                    "the rewrite stopped at its limit of failures: %zu keys and %zu buckets "
                    "could not be read; the file is left as it was",
                    report->failed_keys, report->failed_buckets);
        return;
    }
    errno = number;
    raise_failure(db.state, errno_first("gdbm_recover() error"));
}

PyObject *report_dict(const gdbm_recovery &report)
{
    Ref backup;
    if (report.backup_name != nullptr) {
        backup = Ref::take(fallible::decode_fs(report.backup_name));
        if (!backup) {
            return nullptr;
        }
    }
    if (fault::injected()) {
        return nullptr;
    }
    return Py_BuildValue("{snsnsnsnsnsO}",
                         "recovered_keys", static_cast<Py_ssize_t>(report.recovered_keys),
                         "recovered_buckets", static_cast<Py_ssize_t>(report.recovered_buckets),
                         "failed_keys", static_cast<Py_ssize_t>(report.failed_keys),
                         "failed_buckets", static_cast<Py_ssize_t>(report.failed_buckets),
                         "duplicate_keys", static_cast<Py_ssize_t>(report.duplicate_keys),
                         "backup_name", backup ? backup.get() : Py_None);
}

PyObject *recover_database(database_object &db, int flags, gdbm_recovery *report)
{
    if (!run_recovery(db, report, flags)) {
        return nullptr;
    }
    CString backup(report->backup_name);
    if (!commit_change(db)) {
        return nullptr;
    }
    return report_dict(*report);
}

}  // namespace

bool may_rewrite(database_object &db)
{
    if (!may_change(db)) {
        return false;
    }
    if (!db.writable) {
        raise_error(db.state, "%s", gdbm_strerror(GDBM_READER_CANT_REORGANIZE));
        return false;
    }
    return true;
}

bool run_recovery(database_object &db, gdbm_recovery *report, int flags)
{
    if (!may_rewrite(db)) {
        return false;
    }
    db.known_size = -1;
    try {
        Leftovers leftovers(db.name);
        int before = gdbm_fdesc(db.handle);
        int result = errno_first_call([&] { return gdbm_recover(db.handle, report, flags); });
        int number = errno;
        // Even a failed recovery may leave the handle on another file.
        ++db.changes;
        if (gdbm_fdesc(db.handle) != before) {
            keep_descriptor_properties(db);
        }
        if (result == 0) {
            return true;
        }
        undo_failed_recovery(db, report, flags, leftovers, number);
    }
    catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return false;
}

PyObject *db_recover(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const keywords[] = {"backup", "force", "max_failures", nullptr};
    static _PyArg_Parser parser = argument_parser("|$ppO:recover", keywords);
    int backup = 0;
    int force = 0;
    PyObject *max_failures = Py_None;
    if (!_PyArg_ParseStackAndKeywords(args, nargs, kwnames, &parser, &backup, &force,
                                      &max_failures)) {
        return nullptr;
    }
    gdbm_recovery report{};
    int flags = (backup ? GDBM_RCVR_BACKUP : 0) | (force ? GDBM_RCVR_FORCE : 0);
    if (!read_limit(max_failures, &report.max_failures, &flags)) {
        return nullptr;
    }
    return on_open(self, [&](database_object &db) { return recover_database(db, flags, &report); });
}

const char recover_doc[] =
"recover($self, /, *, backup=False, force=False, max_failures=None)\n--\n\n"
"Rebuild a damaged database from what can still be read.\n"
"\n"
"After a crash or a failed write, reads may fail with \"Database needs\n"
"recovery\".  recover() copies every record it can still read into a new\n"
"file, which then replaces the database file; the object goes on with\n"
"the new file.  The database must be open for writing.\n"
"\n"
"Unless force is true, the file is checked first and left alone when no\n"
"damage is found.  With backup true, the file as it was is kept beside\n"
"the new one, under the name the result gives.  With max_failures, the\n"
"recovery stops when that many keys and buckets (at least 1) could not be\n"
"read; the file then stays as it was and error is raised.  When the\n"
"rewrite fails, error is raised and the database stays under its own\n"
"name, as it was, with the object on it; only when it cannot get its\n"
"name back from the backup's is it left under that, which the error's\n"
"filename gives.\n"
"\n"
"Returns a dict: recovered_keys, recovered_buckets, failed_keys,\n"
"failed_buckets, duplicate_keys, and backup_name (None without a backup).";

}  // namespace kvstore
