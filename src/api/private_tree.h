// Files and directories written below one directory for the user alone,
// free of Python. No symbolic link is ever followed, so nothing written can
// land outside the directory, whatever was placed there before.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

namespace marnu {

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
