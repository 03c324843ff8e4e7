// The diagnostics of loading a frame, kept in order: a frame decoded ahead
// of its turn on another thread tells its story when its turn comes, so that
// every line comes out where a one-frame-at-a-time run prints it.
#pragma once

#include <cstdarg>
#include <string>
#include <utility>
#include <vector>

namespace quen_merge {

enum class Stream { kOut, kErr };

// printf to stream, or into the log this thread captures into.
void Say(Stream stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
void SayV(Stream stream, const char* format, va_list args);

class MessageLog {
public:
    void Add(Stream stream, std::string text) { lines.emplace_back(stream, std::move(text)); }
    // Prints every line, in order, each to its stream.
    void Replay() const;

private:
    std::vector<std::pair<Stream, std::string>> lines;
};

// While it lives, this thread's Say calls go into log instead of the streams.
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

}  // namespace quen_merge
