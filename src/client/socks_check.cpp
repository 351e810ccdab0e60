#include "client/socks_check.h"

#include "client/socks_support.h"
#include "module/console.h"
#include "module/python.h"

namespace marnu {

void ensure_socks_support() {
    if (socks5h_supported()) return;
    console::print("[-] SOCKS support is missing.");
    console::print("[+] pysocks will be installed through pip3.");
    console::print("[+] Updating APT cache, please wait.");
    run_console_command(
        "sudo bash -c 'apt update && apt-get -qq install python3-pip 2> /dev/null && pip3 install pysocks'");
}

}  // namespace marnu
