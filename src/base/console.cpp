#include "base/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <mutex>

namespace quen_merge {

namespace {

// The progress line's text, and whether it stands on the screen now; the two
// streams that write above it lock apart, the line is one.
std::mutex screen;
std::string line;
bool drawn = false;

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= size_t(n);
    }
}

void Erase() {
    if (!drawn) return;
    WriteAll(STDERR_FILENO, "\r\033[K", 4);
    drawn = false;
}

void Draw() {
    if (line.empty()) return;
    WriteAll(STDERR_FILENO, line.data(), line.size());
    drawn = true;
}

// A stream over a terminal's descriptor that writes above the progress line.
ssize_t WriteAbove(void* cookie, const char* data, size_t size) {
    const std::lock_guard<std::mutex> lock(screen);
    Erase();
    WriteAll(*static_cast<const int*>(cookie), data, size);
    if (size > 0 && data[size - 1] == '\n') Draw();
    return ssize_t(size);
}

const int kOut = STDOUT_FILENO, kErr = STDERR_FILENO;

FILE* AboveTheLine(const int* fd, int buffering) {
    cookie_io_functions_t io{nullptr, WriteAbove, nullptr, nullptr};
    FILE* stream = fopencookie(const_cast<int*>(fd), "w", io);
    if (stream) setvbuf(stream, nullptr, buffering, 0);
    return stream;
}

}  // namespace

void Warn(const char* format, ...) {
    std::fflush(stdout);
    std::fputs("tarnic: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

ProgressLine::ProgressLine(size_t frames)
    : shown(isatty(STDERR_FILENO) == 1), frames(frames), start(std::chrono::steady_clock::now()) {
    if (!shown) return;
    std::fflush(stdout);
    std::fflush(stderr);
    if (isatty(STDOUT_FILENO) == 1) {
        saved_out = stdout;
        if (FILE* above = AboveTheLine(&kOut, _IOLBF)) stdout = above;
    }
    saved_err = stderr;
    if (FILE* above = AboveTheLine(&kErr, _IONBF)) stderr = above;
}

ProgressLine::~ProgressLine() {
    if (!shown) return;
    std::fflush(stdout);
    std::fflush(stderr);
    Erase();
    line.clear();
    if (saved_out && stdout != saved_out) {
        std::fclose(stdout);
        stdout = saved_out;
    }
    if (saved_err && stderr != saved_err) {
        std::fclose(stderr);
        stderr = saved_err;
    }
}

void ProgressLine::Show(size_t position, const std::string& name) {
    if (!shown) return;
    std::fflush(stdout);
    char timing[96] = "";
    if (position > 0) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double per_frame = elapsed / double(position);
        std::snprintf(timing, sizeof timing, ", %.1f s per frame, about %.0f s left", per_frame,
                      per_frame * double(frames - position));
    }
    const std::lock_guard<std::mutex> lock(screen);
    Erase();
    line = "frame " + std::to_string(position + 1) + " of " + std::to_string(frames) + ": " + name + timing;
    Draw();
}

}  // namespace quen_merge
