#include "tunnel_control/password_handover.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "common/errors.h"
#include "common/host_paths.h"
#include "common/unique_dir.h"
#include "common/unique_fd.h"

namespace marnu {
namespace {

// /tmp/marnu-askpass-PID.XXXXXX/askpass: the PID tells whose folder it is.
constexpr std::string_view kFolderPrefix = "marnu-askpass-";
constexpr char kFifoName[] = "askpass";

// Whether a folder named for `name`'s PID belongs to a client that has ended.
bool left_by_ended_client(std::string_view name) {
    name.remove_prefix(kFolderPrefix.size());
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error != std::errc() || end == name.data() || *end != '.' || pid <= 0) return false;
    return pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Removes our own folder `name` in /tmp and the FIFO in it, never following
// a link.
void remove_folder(int tmp, const char* name) {
    struct stat info {};
    if (::fstatat(tmp, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid())
        return;
    const UniqueFd folder(::openat(tmp, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder) ::unlinkat(folder.get(), kFifoName, 0);
    ::unlinkat(tmp, name, AT_REMOVEDIR);
}

// Runs `work` on a thread that takes no signals, so Ctrl+C always reaches
// the main thread.
template <typename Work>
std::thread signal_free_thread(Work work) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        std::thread thread(std::move(work));
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return thread;
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
}

// OpenVPN reads the password as one line of text.
void check_password(std::string_view password) {
    if (password.find('\0') != std::string_view::npos)
        throw InvalidValue("The password holds a NUL character, which cannot be handed to OpenVPN");
    if (password.find_first_of("\r\n") != std::string_view::npos)
        throw InvalidValue("The password holds a line end, which cannot be handed to OpenVPN");
}

}  // namespace

PasswordHandover::PasswordHandover(std::string_view password) {
    check_password(password);
    secret_.assign(password);
    secret_.push_back('\n');
    std::string pattern = std::string(kTmpDirectory) + std::string(kFolderPrefix) + std::to_string(::getpid()) + ".XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        explicit_bzero(secret_.data(), secret_.size());
        throw_errno("Could not make a private folder for the password", pattern);
    }
    folder_ = std::move(pattern);
    fifo_ = folder_ + "/" + kFifoName;
    if (::mkfifo(fifo_.c_str(), 0600) != 0) {
        const int error = errno;
        remove_files();
        explicit_bzero(secret_.data(), secret_.size());
        errno = error;
        throw_errno("Could not make the FIFO for the password", fifo_);
    }
    // The FIFO itself, so that the destructor can still reach a writer
    // waiting on it if its name was removed meanwhile.
    fifo_itself_.reset(::open(fifo_.c_str(), O_PATH | O_CLOEXEC));
    try {
        writer_ = signal_free_thread([this] { offer(); });
    } catch (...) {
        remove_files();
        explicit_bzero(secret_.data(), secret_.size());
        throw;
    }
}

PasswordHandover::~PasswordHandover() {
    stop_.store(true);
    // A writer still waiting for a reader finds this one and gives up; it is
    // held open until the writer has ended, so the writer cannot miss it.
    UniqueFd wake;
    if (fifo_itself_) {
        const std::string itself = "/proc/self/fd/" + std::to_string(fifo_itself_.get());
        wake.reset(::open(itself.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    }
    if (!wake) wake.reset(::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    writer_.join();
    remove_files();
    explicit_bzero(secret_.data(), secret_.size());
}

// Opening a FIFO for writing waits until a reader has it open: the writer
// meets OpenVPN there at once. The destructor wakes a writer still waiting
// by opening the FIFO for reading itself.
void PasswordHandover::offer() {
    const UniqueFd fifo(::open(fifo_.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fifo || stop_.load()) return;  // the FIFO is gone, or nobody came
    // The whole password fits in the empty pipe's buffer: the writes never
    // wait, and a reader that went away only fails them.
    std::string_view rest = secret_;
    while (!rest.empty()) {
        const ssize_t written = ::write(fifo.get(), rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        rest.remove_prefix(static_cast<size_t>(written));
    }
    // One reader gets it, once: nobody finds the FIFO afterwards.
    ::unlink(fifo_.c_str());
}

void PasswordHandover::remove_files() const {
    ::unlink(fifo_.c_str());
    ::rmdir(folder_.c_str());
}

void remove_stale_handovers() {
    const UniqueDir tmp(::opendir(kTmpDirectory));
    if (!tmp) return;
    while (const dirent* entry = ::readdir(tmp.get())) {
        const std::string_view name = entry->d_name;
        if (name.starts_with(kFolderPrefix) && left_by_ended_client(name))
            remove_folder(::dirfd(tmp.get()), entry->d_name);
    }
}

}  // namespace marnu
