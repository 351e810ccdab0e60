// Files in /tmp/, which other local users share. A file of ours is never
// reached through a symbolic link, and a file that belongs to someone else
// is never written or trusted: each is refused with an OsFailure that names
// the path, before its contents are touched.
#pragma once

#include <string>
#include <string_view>

namespace marnu {

// Whether anything (a dangling symbolic link too) stands at `path`.
bool anything_at(const std::string& path);

// Replaces the contents of our own regular file at `path`, creating it
// when it does not exist.
void write_own_file(const std::string& path, std::string_view contents);

// Creates `path`, which must not exist in any form yet, holding `contents`.
// A file left incomplete by a failed write is removed again.
void create_own_file(const std::string& path, std::string_view contents);

// The contents of our own regular file at `path`.
std::string read_own_file(const std::string& path);

// The contents of a file that is not in a shared directory.
std::string read_whole_file(const std::string& path);

}  // namespace marnu
