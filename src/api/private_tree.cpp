#include "api/private_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.h"
#include "common/fd_io.h"

namespace marnu {
namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;

bool is_symbolic_link(int parent, const std::string& name) {
    struct stat info {};
    return ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace

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
            if (info.st_uid != ::geteuid())
                throw OsFailure(EPERM, "Refusing to write into a directory that belongs to another user", shown);
            return directory;
        }
        const int error = errno;
        if (error == ENOENT) {
            if (::mkdirat(parent, name.c_str(), kDirectoryMode) == 0) {
                directory.reset(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (!directory) throw_errno("Could not open the new directory", shown);
                // The umask may have taken bits away; the mode must be exact.
                if (::fchmod(directory.get(), kDirectoryMode) != 0) throw_errno("Could not set the mode", shown);
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
    UniqueFd file(::openat(directory.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           kFileMode));
    if (!file) throw_errno("Could not create the file", shown);
    try {
        if (::fchmod(file.get(), kFileMode) != 0) throw_errno("Could not set the mode", shown);
        write_all(file.get(), data, shown);
        if (::close(file.release()) != 0) throw_errno("Could not write the file", shown);
    } catch (const OsFailure&) {
        // A key cut short (the disk full, say) must not pass for a whole one.
        ::unlinkat(directory.get(), name.c_str(), 0);
        throw;
    }
}

}  // namespace marnu
