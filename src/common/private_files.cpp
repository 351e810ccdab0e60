#include "common/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/errors.h"
#include "common/fd_io.h"

namespace marnu {
namespace {

// O_NONBLOCK: opening a FIFO someone put in our way must not hang; it is
// refused as not a regular file right after.
constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// What Python's open() would use; the umask applies.
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kTreeDirectoryMode = 0700;
constexpr mode_t kTreeFileMode = 0600;

bool ours(const struct stat& info) { return info.st_uid == ::geteuid(); }

// Creates `name` in `directory` (AT_FDCWD: `name` is a path) for writing;
// nothing may stand there yet, not even a link.
UniqueFd create_new(int directory, const std::string& name, mode_t mode, const char* failure,
                    const std::string& shown) {
    UniqueFd file(::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, mode));
    if (!file) throw_errno(failure, shown);
    return file;
}

// Writes `contents` into a new or emptied file and closes it. A file cut
// short (the disk full, say) must not pass for a whole one: it is removed.
void fill_or_remove(int directory, const std::string& name, UniqueFd file, std::string_view contents,
                    const std::string& shown) {
    try {
        write_all(file.get(), contents, shown);
        if (::close(file.release()) != 0) throw_errno("Could not write", shown);
    } catch (const OsFailure&) {
        ::unlinkat(directory, name.c_str(), 0);
        throw;
    }
}

// Refuses what must not be used: a symbolic link, anything but a regular
// file, a file of another user.
void check_own_regular_file(const struct stat& info, const std::string& path) {
    if (S_ISLNK(info.st_mode)) throw OsFailure(ELOOP, "Refusing to use a symbolic link", path);
    if (!S_ISREG(info.st_mode)) throw OsFailure(EINVAL, "Refusing to use something that is not a regular file", path);
    if (!ours(info)) throw OsFailure(EPERM, "Refusing to use a file that belongs to another user", path);
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

bool is_symbolic_link(int parent, const std::string& name) {
    struct stat info {};
    return ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
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
    UniqueFd fd = open_own_file(path, O_WRONLY | O_CREAT);
    if (::ftruncate(fd.get(), 0) != 0) throw_errno("Could not empty", path);
    fill_or_remove(AT_FDCWD, path, std::move(fd), contents, path);
}

void create_own_file(const std::string& path, std::string_view contents) {
    fill_or_remove(AT_FDCWD, path, create_new(AT_FDCWD, path, kNewFileMode, "Could not create", path), contents,
                   path);
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

PrivateTree::PrivateTree(std::string root) : root_(std::move(root)) {
    root_fd_.reset(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_fd_) throw_errno("Could not open the directory", root_);
}

std::string PrivateTree::shown_path(const std::vector<std::string>& path, size_t depth) const {
    std::string shown = root_;
    for (size_t i = 0; i < depth; ++i) {
        if (!shown.empty() && shown.back() != '/') shown.push_back('/');
        shown += path[i];
    }
    return shown;
}

UniqueFd PrivateTree::open_or_make_directory(int parent, const std::string& name, const std::string& shown) {
    // A few turns at most: each one removes a link or creates the directory.
    for (int turn = 0; turn < 4; ++turn) {
        UniqueFd directory(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (directory) {
            struct stat info {};
            if (::fstat(directory.get(), &info) != 0) throw_errno("Could not examine the directory", shown);
            if (!ours(info))
                throw OsFailure(EPERM, "Refusing to write into a directory that belongs to another user", shown);
            return directory;
        }
        const int error = errno;
        if (error == ENOENT) {
            if (::mkdirat(parent, name.c_str(), kTreeDirectoryMode) == 0) {
                directory.reset(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (!directory) throw_errno("Could not open the new directory", shown);
                // The umask may have taken bits away; the mode must be exact.
                if (::fchmod(directory.get(), kTreeDirectoryMode) != 0) throw_errno("Could not set the mode", shown);
                return directory;
            }
            if (errno != EEXIST) throw_errno("Could not create the directory", shown);
        } else if ((error == ELOOP || error == ENOTDIR) && is_symbolic_link(parent, name)) {
            if (::unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT)
                throw_errno("Could not replace the symbolic link", shown);
        } else {
            errno = error;
            throw_errno("Could not open the directory", shown);
        }
    }
    throw OsFailure(EAGAIN, "The directory keeps changing while it is being created", shown);
}

UniqueFd PrivateTree::open_directories(const std::vector<std::string>& path, size_t depth) {
    UniqueFd current(::fcntl(root_fd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!current) throw_errno("Could not open the directory", root_);
    for (size_t i = 0; i < depth; ++i)
        current = open_or_make_directory(current.get(), path[i], shown_path(path, i + 1));
    return current;
}

void PrivateTree::make_directories(const std::vector<std::string>& path) { open_directories(path, path.size()); }

void PrivateTree::write_file(const std::vector<std::string>& path, std::string_view data) {
    if (path.empty()) throw OsFailure(EISDIR, "A file needs a name", root_);
    const UniqueFd directory = open_directories(path, path.size() - 1);
    const std::string& name = path.back();
    const std::string shown = shown_path(path, path.size());
    // Removing first means that neither a link nor a file of someone else is
    // written through; O_EXCL then refuses anything that appears meanwhile.
    if (::unlinkat(directory.get(), name.c_str(), 0) != 0 && errno != ENOENT)
        throw_errno("Could not replace the existing file", shown);
    UniqueFd file = create_new(directory.get(), name, kTreeFileMode, "Could not create the file", shown);
    // The umask may have taken bits away; a key's mode must be exact.
    if (::fchmod(file.get(), kTreeFileMode) != 0) {
        const int error = errno;
        ::unlinkat(directory.get(), name.c_str(), 0);
        errno = error;
        throw_errno("Could not set the mode", shown);
    }
    fill_or_remove(directory.get(), name, std::move(file), data, shown);
}

}  // namespace marnu
