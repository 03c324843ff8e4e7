#include "io/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

bool WriteAtomically(const char* filename, const std::function<bool(FILE*)>& write) {
    std::string temp = TemporaryTemplate(filename);
    const int fd = mkstemp(&temp[0]);
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
