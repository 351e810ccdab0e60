#include "tunnel_config/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.h"
#include "common/fd_io.h"
#include "common/unique_fd.h"

namespace marnu {
namespace {

// O_NONBLOCK: opening a FIFO someone put in our way must not hang; it is
// refused as not a regular file right after.
constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// What Python's open() would use; the umask applies.
constexpr mode_t kNewFileMode = 0666;

// Refuses what must not be used: a symbolic link, anything but a regular
// file, a file of another user.
void check_own_regular_file(const struct stat& info, const std::string& path) {
    if (S_ISLNK(info.st_mode)) throw OsFailure(ELOOP, "Refusing to use a symbolic link", path);
    if (!S_ISREG(info.st_mode)) throw OsFailure(EINVAL, "Refusing to use something that is not a regular file", path);
    if (info.st_uid != ::geteuid()) throw OsFailure(EPERM, "Refusing to use a file that belongs to another user", path);
}

// Checks what stands at `path` before opening it (for a clear message),
// then what was opened (nothing can have been swapped in between).
UniqueFd open_own_file(const std::string& path, int flags) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        check_own_regular_file(info, path);
    } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
        throw_errno("Could not open", path);
    }
    UniqueFd fd(::open(path.c_str(), flags | kOpenFlags, kNewFileMode));
    if (!fd) {
        if (errno == ELOOP) throw OsFailure(ELOOP, "Refusing to use a symbolic link", path);
        throw_errno("Could not open", path);
    }
    if (::fstat(fd.get(), &info) != 0) throw_errno("Could not examine", path);
    check_own_regular_file(info, path);
    return fd;
}

}  // namespace

bool anything_at(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) return true;
    if (errno == ENOENT) return false;
    throw_errno("Could not examine", path);
}

void write_own_file(const std::string& path, std::string_view contents) {
    // Truncated only once it is known to be ours.
    const UniqueFd fd = open_own_file(path, O_WRONLY | O_CREAT);
    if (::ftruncate(fd.get(), 0) != 0) throw_errno("Could not empty", path);
    try {
        write_all(fd.get(), contents, path);
    } catch (const OsFailure&) {
        // A file cut short (the disk full, say) must not pass for a whole one.
        ::unlink(path.c_str());
        throw;
    }
}

void create_own_file(const std::string& path, std::string_view contents) {
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, kNewFileMode));
    if (!fd) throw_errno("Could not create", path);
    try {
        write_all(fd.get(), contents, path);
    } catch (const OsFailure&) {
        ::unlink(path.c_str());
        throw;
    }
}

std::string read_own_file(const std::string& path) {
    const UniqueFd fd = open_own_file(path, O_RDONLY);
    return read_all(fd.get(), path);
}

std::string read_whole_file(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw_errno("Could not open", path);
    return read_all(fd.get(), path);
}

}  // namespace marnu
