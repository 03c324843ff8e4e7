// The diagnostics of loading a frame, kept in order: a frame decoded ahead
// of its turn on another thread tells its story when its turn comes, so that
// every line comes out where a one-frame-at-a-time run prints it. Code that
// may run on a loading thread is handed the frame's log and says everything
// into it; only the callbacks of libraries (FreeImage's, libtiff's), which
// cannot be handed a log, find it through the thread.
#pragma once

#include <cstdarg>
#include <string>
#include <utility>
#include <vector>

namespace quen_merge {

enum class Stream { kOut, kErr };

class MessageLog {
public:
    // A log that keeps its lines for Replay, or, when immediate, prints each
    // line as it comes (for callers that load on their own thread).
    explicit MessageLog(bool immediate = false) : immediate(immediate) {}

    // printf into the log.
    void Say(Stream stream, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void SayV(Stream stream, const char* format, va_list args);
    // Prints every kept line, in order, each to its stream.
    void Replay() const;

private:
    bool immediate;
    std::vector<std::pair<Stream, std::string>> lines;
};

// While it lives, library callbacks on this thread say into log.
class CaptureMessages {
public:
    explicit CaptureMessages(MessageLog& log);
    ~CaptureMessages();
    CaptureMessages(const CaptureMessages&) = delete;
    CaptureMessages& operator=(const CaptureMessages&) = delete;

    // True while this thread captures.
    static bool Active();

private:
    MessageLog* previous;
};

// For library callbacks only: printf into the log this thread captures into,
// or straight to the stream when it captures none.
void SayFromCallback(Stream stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
void SayFromCallbackV(Stream stream, const char* format, va_list args);

}  // namespace quen_merge
