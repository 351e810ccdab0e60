// The main menu's text, free of any console I/O.
#pragma once

#include <string>

namespace marnu {

// The heading and the four choices (1 Connect, 2 Disconnect, 3 Reset
// firewall settings, 4 Quit), each line ending in "\n". While a tunnel is up
// the heading says so; otherwise Disconnect is left out.
std::string main_menu(bool connected);

}  // namespace marnu
