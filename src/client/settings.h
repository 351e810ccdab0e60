// The client's fixed settings: the values the module publishes at load and
// the constants the operations share.
#pragma once

#include <string_view>

#include "common/host_paths.h"

namespace marnu::settings {

// Sixteen blanks, MARNU in large letters (six rows of one width), the maker's
// by-line in smaller letters (five rows of one width), the version, an empty line.
inline constexpr std::string_view kBanner =
    "                \n"
    R"( __  __    _    ____  _   _ _   _ )" "\n"
    R"(|  \/  |  / \  |  _ \| \ | | | | |)" "\n"
    R"(| |\/| | / _ \ | |_) |  \| | | | |)" "\n"
    R"(| |  | |/ ___ \|  _ <| |\  | |_| |)" "\n"
    R"(|_|  |_/_/   \_\_| \_\_| \_|\___/ )" "\n"
    R"(                                  )" "\n"
    R"( _               __  __   _   ___ _  _ _   _     _         _       )" "\n"
    R"(| |__ _  _      |  \/  | /_\ | _ \ \| | | | |   | |   __ _| |__ ___)" "\n"
    R"(| '_ \ || |     | |\/| |/ _ \|   / .` | |_| |   | |__/ _` | '_ (_-<)" "\n"
    R"(|_.__/\_, |     |_|  |_/_/ \_\_|_\_|\_|\___/    |____\__,_|_.__/__/)" "\n"
    R"(      |__/                                                         )" "\n"
    "V1.5\n"
    "\n";

inline constexpr std::string_view kApiKey =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

inline constexpr std::string_view kOvpnConfigFile = marnu::kOvpnConfigFile;

inline constexpr std::string_view kUserAgentHeader = "User-Agent";
inline constexpr std::string_view kUserAgent =
    "Mozilla/5.0 (Windows NT 6.1; WOW64; rv:64.0) Gecko/20100101 Firefox/64.0";

}  // namespace marnu::settings
