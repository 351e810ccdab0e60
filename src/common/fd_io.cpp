#include "common/fd_io.h"

#include <unistd.h>

#include <cerrno>

#include "common/errors.h"

namespace marnu {

void write_all(int fd, std::string_view data, const std::string& path) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            throw_errno("Could not write", path);
        }
        data.remove_prefix(static_cast<size_t>(written));
    }
}

std::string read_all(int fd, const std::string& path) {
    std::string contents;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            contents.append(chunk, static_cast<size_t>(n));
        } else if (n == 0) {
            return contents;
        } else if (errno != EINTR) {
            throw_errno("Could not read", path);
        }
    }
}

}  // namespace marnu
