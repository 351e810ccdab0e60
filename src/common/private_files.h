// Files in /tmp/, which other local users share. Nothing is ever reached
// through a symbolic link, and nothing that belongs to someone else is
// written into or trusted: each is refused with an OsFailure that names the
// path, before any contents are touched.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

namespace marnu {

// Single files at a full path: the OpenVPN profile and the firewall files.

// Whether anything (a dangling symbolic link too) stands at `path`.
bool anything_at(const std::string& path);

// Replaces the contents of our own regular file at `path`, creating it
// when it does not exist (mode 0666 less the umask, as Python's open()).
void write_own_file(const std::string& path, std::string_view contents);

// Creates `path`, which must not exist in any form yet, holding `contents`.
// A file left incomplete by a failed write is removed again.
void create_own_file(const std::string& path, std::string_view contents);

// The contents of our own regular file at `path`.
std::string read_own_file(const std::string& path);

// The contents of a file that is not in a shared directory.
std::string read_whole_file(const std::string& path);

// Files and directories below one directory for the user alone: the key
// bundle's.
class PrivateTree {
public:
    // Opens `root` (which must exist) as the top of the tree.
    explicit PrivateTree(std::string root);

    // Creates the directories on the way to `path` (components below the
    // root, none of them empty, "." or ".."), each with mode 0700; existing
    // ones of ours are used as they are. A symbolic link on the way is
    // replaced by a directory; a directory of another user is refused.
    void make_directories(const std::vector<std::string>& path);

    // Writes `data` to a new file at `path` with mode 0600, its directories
    // made as by make_directories. An existing file or symbolic link there is
    // removed first, so nothing is written through it.
    void write_file(const std::vector<std::string>& path, std::string_view data);

private:
    // The directory at the first `depth` components of `path`, opened.
    UniqueFd open_directories(const std::vector<std::string>& path, size_t depth);
    UniqueFd open_or_make_directory(int parent, const std::string& name, const std::string& shown_path);
    std::string shown_path(const std::vector<std::string>& path, size_t depth) const;

    std::string root_;
    UniqueFd root_fd_;
};

}  // namespace marnu
