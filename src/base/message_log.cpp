#include "base/message_log.h"

#include <cstdio>

namespace quen_merge {

namespace {

thread_local MessageLog* capturing = nullptr;

FILE* FileOf(Stream stream) { return stream == Stream::kOut ? stdout : stderr; }

}  // namespace

void SayV(Stream stream, const char* format, va_list args) {
    if (!capturing) {
        std::vfprintf(FileOf(stream), format, args);
        return;
    }
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return;
    std::string text(size_t(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.pop_back();
    capturing->Add(stream, std::move(text));
}

void Say(Stream stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    SayV(stream, format, args);
    va_end(args);
}

void MessageLog::Replay() const {
    for (const auto& [stream, text] : lines) std::fputs(text.c_str(), FileOf(stream));
}

CaptureMessages::CaptureMessages(MessageLog& log) : previous(capturing) { capturing = &log; }

CaptureMessages::~CaptureMessages() { capturing = previous; }

bool CaptureMessages::Active() { return capturing != nullptr; }

}  // namespace quen_merge
