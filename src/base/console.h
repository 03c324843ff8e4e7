// What a run tells the person at the terminal besides its progress lines:
// warnings on standard error, and, when standard error is a terminal, one
// line at the bottom of the screen that keeps being redrawn with how far the
// stack has come.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

namespace quen_merge {

// Prints "tarnic: " and the message, and a newline, on standard error, after
// what standard output holds.
void Warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One updating line on standard error: frame k of N, the file's name, time
// per frame, time left. Nothing at all when standard error is not a
// terminal. While it lives, whatever the process prints on a terminal goes
// above the line: the line is erased before each write and drawn again after
// each finished line. One at a time; it erases itself when it goes.
class ProgressLine {
public:
    explicit ProgressLine(size_t frames);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Shows that frame `position` (from 0), read from name, is being stacked.
    void Show(size_t position, const std::string& name);

private:
    const bool shown;
    const size_t frames;
    const std::chrono::steady_clock::time_point start;
    FILE* saved_out = nullptr;  // the streams it stands in for while it lives
    FILE* saved_err = nullptr;
};

}  // namespace quen_merge
