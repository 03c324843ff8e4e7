#include "io/atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <string>

namespace {

// "dir/name" -> "dir/.name.XXXXXX", a mkstemp template beside the target.
std::string TemporaryTemplate(const char* filename) {
    const std::string name(filename);
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    return dir + "." + base + ".XXXXXX";
}

mode_t DefaultFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// The folder that holds filename.
std::string FolderOf(const char* filename) {
    const std::string name(filename);
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
}

// fsync of the folder that holds filename, so that a rename into it lasts.
bool SyncFolderOf(const char* filename) {
    const int fd = open(FolderOf(filename).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

// The signals that end a run from outside (Ctrl-C, kill, a closed
// terminal): while a temporary file exists, they remove it first.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary file being written, for the signal handler: a fixed buffer,
// since the handler may only read memory and call async-signal-safe functions.
char pending_temporary[PATH_MAX];
volatile sig_atomic_t temporary_pending = 0;

void RemoveTemporaryAndEnd(int signal_number) {
    if (temporary_pending) unlink(pending_temporary);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// While it lives, an ending signal removes the watched temporary file before
// it ends the process as it would have; the former handlers come back
// afterwards.
class TemporaryGuard {
public:
    TemporaryGuard() {
        struct sigaction action {};
        action.sa_handler = RemoveTemporaryAndEnd;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
            sigaction(kEndingSignals[i], nullptr, &former[i]);
            // A signal the caller chose to ignore stays ignored.
            if (former[i].sa_handler != SIG_IGN) sigaction(kEndingSignals[i], &action, nullptr);
        }
    }
    ~TemporaryGuard() {
        temporary_pending = 0;
        for (size_t i = 0; i < std::size(kEndingSignals); ++i) sigaction(kEndingSignals[i], &former[i], nullptr);
    }
    TemporaryGuard(const TemporaryGuard&) = delete;
    TemporaryGuard& operator=(const TemporaryGuard&) = delete;

    // Makes the temporary file from template_path (mkstemp) and watches it,
    // the ending signals held meanwhile, so that none falls between the two;
    // its descriptor, or -1.
    int Make(std::string& template_path) {
        if (template_path.size() >= sizeof pending_temporary) return -1;
        sigset_t ending, before;
        sigemptyset(&ending);
        for (int signal_number : kEndingSignals) sigaddset(&ending, signal_number);
        pthread_sigmask(SIG_BLOCK, &ending, &before);
        const int fd = mkstemp(&template_path[0]);
        if (fd >= 0) {
            std::memcpy(pending_temporary, template_path.c_str(), template_path.size() + 1);
            temporary_pending = 1;
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return fd;
    }
    // The temporary file is gone (renamed or removed): nothing to remove.
    void Done() { temporary_pending = 0; }

private:
    struct sigaction former[std::size(kEndingSignals)] {};
};

}  // namespace

bool WriteAtomically(const char* filename, const std::function<bool(FILE*)>& write) {
    std::string temp = TemporaryTemplate(filename);
    TemporaryGuard guard;
    const int fd = guard.Make(temp);
    if (fd < 0) return false;
    FILE* file = fdopen(fd, "w+b");
    if (!file) {
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    bool ok = write(file);
    ok = std::fflush(file) == 0 && ok;
    ok = fchmod(fd, DefaultFileMode()) == 0 && ok;
    ok = ok && fsync(fd) == 0;
    ok = std::fclose(file) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), filename) == 0;
    if (!ok) unlink(temp.c_str());
    guard.Done();
    return ok && SyncFolderOf(filename);
}

bool CanWriteAtomically(const char* filename, std::string& why) {
    struct stat status;
    if (stat(filename, &status) == 0 && S_ISDIR(status.st_mode)) {
        why = "it is a folder";
        return false;
    }
    const std::string folder = FolderOf(filename);
    if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        why = "there is no folder " + folder;
        return false;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        why = "the folder " + folder + " cannot be written";
        return false;
    }
    return true;
}

bool WriteTextAtomically(const char* filename, const std::string& text) {
    return WriteAtomically(filename,
                           [&](FILE* file) { return std::fwrite(text.data(), 1, text.size(), file) == text.size(); });
}
