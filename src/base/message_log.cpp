#include "base/message_log.h"

#include <cstdio>

namespace quen_merge {

namespace {

thread_local MessageLog* capturing = nullptr;

FILE* FileOf(Stream stream) { return stream == Stream::kOut ? stdout : stderr; }

}  // namespace

void MessageLog::SayV(Stream stream, const char* format, va_list args) {
    if (immediate) {
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
    lines.emplace_back(stream, std::move(text));
}

void MessageLog::Say(Stream stream, const char* format, ...) {
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

void SayFromCallbackV(Stream stream, const char* format, va_list args) {
    if (capturing)
        capturing->SayV(stream, format, args);
    else
        std::vfprintf(FileOf(stream), format, args);
}

void SayFromCallback(Stream stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    SayFromCallbackV(stream, format, args);
    va_end(args);
}

}  // namespace quen_merge
