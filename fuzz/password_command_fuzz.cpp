// Password carrying: the root command line, built around the FIFO that
// offers any password, is run by /bin/sh exactly as the client runs it, with
// every program it names replaced by a fake that records its arguments (sudo
// runs the rest of its command line). Invariants: the line runs the fixed
// sequence of commands (the optional first step, mv, the ferm and Tor
// restarts, openvpn with the profile, the FIFO and its management socket) and
// nothing else, prints nothing, and what OpenVPN reads from the FIFO is
// exactly the password and a newline; nothing of the hand-over is left in
// /tmp afterwards. A password with a NUL character or a line end is refused
// before anything is made. Input: one byte that picks the first step, then
// the password.
//
// The fakes live in a private mount namespace made at start-up, with empty
// file systems over /tmp, /etc/init.d and /etc/ferm: the init scripts are
// named by their absolute paths, and nothing that runs can touch the machine.
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/settings.h"
#include "common/errors.h"
#include "common/fd_io.h"
#include "common/unique_fd.h"
#include "fuzz_check.h"
#include "tunnel_control/connection_command.h"
#include "tunnel_control/password_handover.h"

extern char** environ;

namespace {

constexpr char kFakes[] = "/tmp/fakes";
constexpr char kCalls[] = "/tmp/calls";
constexpr char kReceived[] = "/tmp/askpass-received";

// Each fake appends one line to the call log: its name and its arguments
// (sudo's third one, the script, is left out).
// OpenVPN's fake also keeps what its askpass file holds.
constexpr char kRecord[] = "printf '%s' \"${0##*/}\" >> /tmp/calls\n"
                           "for argument; do printf ' %s' \"$argument\" >> /tmp/calls; done\n"
                           "echo >> /tmp/calls\n";
constexpr char kSudo[] = "echo \"sudo $1 $2 and $(($# - 3)) more\" >> /tmp/calls\nexec \"$@\"\n";
constexpr char kOpenvpn[] = "cat \"$4\" > /tmp/askpass-received\n";

void write_script(const std::string& path, std::string_view body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    FUZZ_CHECK(::chmod(path.c_str(), 0755) == 0);
}

void mount_empty(const char* directory) {
    if (::mount("tmpfs", directory, "tmpfs", 0, "mode=0755") != 0) {
        std::perror(directory);
        std::exit(1);
    }
}

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Outcome {
    std::string output;
    int status;
};

// Runs `command` with /bin/sh -c, standard input empty, output and errors captured.
Outcome run_shell(const std::string& command) {
    int fds[2];
    FUZZ_CHECK(::pipe2(fds, O_CLOEXEC) == 0);
    marnu::UniqueFd read_end(fds[0]);
    marnu::UniqueFd write_end(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), 2);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    const char* envp[] = {"PATH=/tmp/fakes:/usr/bin:/bin", "LC_ALL=C.UTF-8", "HOME=/tmp", nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv),
                                      const_cast<char**>(envp));
    posix_spawn_file_actions_destroy(&actions);
    FUZZ_CHECK(spawned == 0);
    write_end.reset();
    Outcome outcome{marnu::read_all(read_end.get(), "output"), 0};
    while (::waitpid(pid, &outcome.status, 0) < 0) FUZZ_CHECK(errno == EINTR);
    return outcome;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        result.push_back(text.substr(start, end - start));
    FUZZ_CHECK(start == text.size());
    return result;
}

std::vector<std::string> tmp_entries() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> expected_calls(marnu::LaunchStep step) {
    std::vector<std::string> calls{"sudo bash -c and 0 more"};
    if (step == marnu::LaunchStep::install_openvpn) calls.push_back("apt-get -qq install openvpn");
    if (step == marnu::LaunchStep::stop_running_openvpn) calls.push_back("killall -w openvpn");
    calls.push_back("mv -f /tmp/ferm.conf /etc/ferm/ferm.conf");
    calls.push_back("ferm restart");
    calls.push_back("tor restart");
    return calls;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::perror("a private mount namespace (this target needs root)");
        std::exit(1);
    }
    mount_empty("/tmp");
    mount_empty("/etc/init.d");
    struct stat info {};
    // This machine's own, should it have them, would change the steps the
    // line runs: its systemd's Tor and its NetworkManager's dispatcher.
    for (const char* directory : {"/etc/ferm", "/etc/NetworkManager", "/run/systemd"})
        if (::stat(directory, &info) == 0) mount_empty(directory);
    FUZZ_CHECK(::mkdir(kFakes, 0755) == 0);
    const std::string fakes = kFakes;
    write_script(fakes + "/sudo", kSudo);
    write_script(fakes + "/mv", kRecord);
    write_script(fakes + "/apt-get", kRecord);
    write_script(fakes + "/killall", kRecord);
    write_script(fakes + "/openvpn", std::string(kRecord) + kOpenvpn);
    write_script("/etc/init.d/ferm", kRecord);
    write_script("/etc/init.d/tor", kRecord);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto step = static_cast<marnu::LaunchStep>(data[0] % 3);
    const std::string password(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::optional<marnu::PasswordHandover> handover;
    try {
        handover.emplace(password);
    } catch (const marnu::InvalidValue&) {
        FUZZ_CHECK(password.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos);
        return 0;
    }
    FUZZ_CHECK(password.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos);
    const std::string command =
        marnu::connection_command(step, marnu::settings::kOvpnConfigFile, handover->path(), "amnesia");
    ::unlink(kCalls);
    ::unlink(kReceived);

    const Outcome outcome = run_shell(command);
    FUZZ_CHECK(outcome.output.empty());
    FUZZ_CHECK(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0);

    std::vector<std::string> calls = lines(read_file(kCalls));
    FUZZ_CHECK(!calls.empty());
    const std::string openvpn = calls.back();
    calls.pop_back();
    if (calls != expected_calls(step))
        for (const std::string& call : calls) std::fprintf(stderr, "called: %s\n", call.c_str());
    FUZZ_CHECK(calls == expected_calls(step));
    const std::string openvpn_call = "openvpn --config /tmp/config.ovpn --askpass " + handover->path() +
                                     " --management /run/marnu-openvpn.sock unix --management-client-user amnesia";
    FUZZ_CHECK(openvpn == openvpn_call);
    FUZZ_CHECK(read_file(kReceived) == password + "\n");
    handover.reset();
    // Only the fakes' own files are left.
    FUZZ_CHECK(tmp_entries() == std::vector<std::string>({"askpass-received", "calls", "fakes"}));
    return 0;
}
