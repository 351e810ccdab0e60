// Owner of one directory stream: closed exactly once, on every path.
#pragma once

#include <dirent.h>

#include <memory>

namespace marnu {

struct DirectoryClose {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

using UniqueDir = std::unique_ptr<DIR, DirectoryClose>;

}  // namespace marnu
