"""The start-up check for SOCKS support, and the console-sharing host command it runs."""

import os
import shutil
import signal
import subprocess
import sys
import time

import marnu_tails_client
import pytest

from conftest import FakeSudo, run_python

INSTALL = "apt update && apt-get -qq install python3-pip 2> /dev/null && pip3 install pysocks"
MESSAGES = (
    b"[-] SOCKS support is missing.\n"
    b"[+] pysocks will be installed through pip3.\n"
    b"[+] Updating APT cache, please wait.\n"
)

# Makes libcurl refuse SOCKS proxies, as a build without proxy support does.
SHIM = r"""
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>
#include <stdarg.h>
CURLcode curl_easy_setopt(CURL *handle, CURLoption option, ...) {
    static CURLcode (*real)(CURL *, CURLoption, ...);
    if (option == CURLOPT_PROXYTYPE) return CURLE_UNKNOWN_OPTION;
    /* The module loads libcurl privately (RTLD_LOCAL), so RTLD_NEXT cannot see it. */
    if (!real) real = (CURLcode (*)(CURL *, CURLoption, ...))dlsym(dlopen("libcurl.so.4", RTLD_NOW | RTLD_NOLOAD), "curl_easy_setopt");
    va_list args;
    va_start(args, option);
    void *value = va_arg(args, void *);
    va_end(args);
    return real(handle, option, value);
}
"""


def preload(library):
    # Keeps a runtime that is already preloaded (the sanitizer build's) first.
    return " ".join(filter(None, [os.environ.get("LD_PRELOAD"), library]))


@pytest.fixture(scope="module")
def no_socks_library(tmp_path_factory):
    if shutil.which("cc") is None:
        pytest.skip("needs a C compiler to build the libcurl shim")
    directory = tmp_path_factory.mktemp("shim")
    (directory / "shim.c").write_text(SHIM)
    library = directory / "libnosocks.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library), str(directory / "shim.c"), "-ldl"], check=True)
    return str(library)


def test_with_socks_support_start_up_goes_straight_to_the_banner(fake_sudo):
    result = run_python("import marnu_tails_client as m; m.run()", stdin=b"4\n", path_prefix=fake_sudo.path)
    assert result.stdout.startswith(marnu_tails_client.BANNER.encode())
    assert fake_sudo.calls() == []


@pytest.mark.parametrize("sudo_status", [0, 1])
def test_missing_socks_support_is_installed_before_the_banner(tmp_path, no_socks_library, sudo_status):
    sudo = FakeSudo(tmp_path / "sudo", output="SUDO RAN\n")
    if sudo_status:
        script = sudo.directory / "sudo"
        script.write_text(script.read_text() + f"sys.exit({sudo_status})\n")
    result = run_python(
        "import marnu_tails_client as m; m.run(debug=True); m.run()",
        stdin=b"4\n4\n",
        path_prefix=sudo.path,
        env={"LD_PRELOAD": preload(no_socks_library)},
    )
    assert result.returncode == 0, result.stderr
    banner = marnu_tails_client.BANNER.encode()
    once = MESSAGES + b"SUDO RAN\n" + banner
    # The check comes after the debug line and runs again at every start.
    assert result.stdout.startswith(b"\nDEBUG\n" + once)
    assert result.stdout.count(once) == 2
    assert sudo.calls() == [["bash", "-c", INSTALL]] * 2


def test_ctrl_c_ends_a_waiting_host_command_promptly(tmp_path, no_socks_library):
    sudo = FakeSudo(tmp_path / "sudo")
    script = sudo.directory / "sudo"
    pid_file = tmp_path / "sudo.pid"
    script.write_text(script.read_text() + f"open({str(pid_file)!r}, 'w').write(str(os.getpid()))\n"
                      "import time; time.sleep(30)\n")
    output = tmp_path / "output"
    with open(output, "wb") as sink:
        child = subprocess.Popen(
            [sys.executable, "-c",
             "import sys, marnu_tails_client as m\n"
             "try:\n    m.run()\nexcept KeyboardInterrupt:\n    sys.stdout.write('INTERRUPTED')\n"],
            stdin=subprocess.DEVNULL, stdout=sink,
            env={**os.environ, "PATH": f"{sudo.path}:{os.environ['PATH']}", "LD_PRELOAD": preload(no_socks_library)},
        )
    try:
        deadline = time.monotonic() + 20
        while not pid_file.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert pid_file.exists(), "the install command never started"
        started = time.monotonic()
        # Only the client gets the signal: its own wait must notice it.
        child.send_signal(signal.SIGINT)
        child.wait(timeout=10)
        assert time.monotonic() - started < 2
        assert output.read_bytes() == MESSAGES + b"INTERRUPTED"
    finally:
        child.kill()
        child.wait()
        if pid_file.exists():
            try:
                os.kill(int(pid_file.read_text()), signal.SIGKILL)
            except ProcessLookupError:
                pass
