// The account's key bundle: a ZIP archive held in memory, unpacked below a
// directory. Free of Python.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace marnu {

// The bundle is unpacked into RAM on Tails (/tmp/): larger ones are refused.
inline constexpr std::uint64_t kMaxBundleBytes = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kMaxBundleMembers = 1000;

// Where a member lands below the directory: the components of its name
// ("/" separates them) without the empty ones, "." and "..".
std::vector<std::string> member_path(std::string_view name);

// Unpacks every member of `archive`, in the order of its central directory,
// below the existing directory `root`: directories (names ending in "/")
// with mode 0700, files with mode 0600, replacing what stands there without
// following symbolic links (see PrivateTree). Before anything is written the
// archive is refused (InvalidValue) when it is not a ZIP archive, holds more
// than kMaxBundleMembers members, would unpack to more than kMaxBundleBytes
// or has an encrypted member. A member whose data fails its CRC-32 check or
// does not match its declared size is refused before it is written.
void extract_key_bundle(std::string_view archive, const std::string& root);

// Makes kKeyDirectory (common/host_paths.h) the working directory for good:
// the tunnel runs from there and finds the key files by their names.
void enter_key_directory();

}  // namespace marnu
