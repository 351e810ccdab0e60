#include "client/main_menu.h"

namespace marnu {

std::string main_menu(bool connected) {
    std::string menu = connected ? "\nWhat do you want to do? [CONNECTED]\n" : "\nWhat do you want to do?\n";
    menu += "1. Connect.\n";
    if (connected) menu += "2. Disconnect.\n";
    menu += "3. Reset firewall settings.\n";
    menu += "4. Quit.\n";
    return menu;
}

}  // namespace marnu
