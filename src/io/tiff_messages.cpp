#include "io/tiff_messages.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstring>

#include "base/message_log.h"

namespace {

using quen_merge::CaptureMessages;
using quen_merge::SayFromCallback;
using quen_merge::SayFromCallbackV;
using quen_merge::Stream;

using TiffHandler = void (*)(const char* module, const char* fmt, va_list ap);
using TiffSetHandler = TiffHandler (*)(TiffHandler);

TiffHandler previous_tiff_error = nullptr;
TiffHandler previous_tiff_warning = nullptr;
// libtiff errors met by this thread; a load that meets one read a damaged file.
thread_local unsigned tiff_errors = 0;

// FreeImage asks libtiff for EXIF tags that libtiff's directory does not
// know, and libtiff complains about each one on every load.
bool IsUnknownTagNoise(const char* module, const char* fmt) {
    return module && fmt && std::strcmp(module, "TIFFFieldWithTag") == 0 &&
           std::strstr(fmt, "unknown tag") != nullptr;
}

// A frame decoded ahead of its turn keeps its messages for later; they are
// worded as libtiff's own handlers word them.
void SayTiff(const char* module, const char* kind, const char* fmt, va_list ap) {
    if (module) SayFromCallback(Stream::kErr, "%s: ", module);
    SayFromCallback(Stream::kErr, "%s", kind);
    SayFromCallbackV(Stream::kErr, fmt, ap);
    SayFromCallback(Stream::kErr, ".\n");
}

void FilteredTiffError(const char* module, const char* fmt, va_list ap) {
    if (IsUnknownTagNoise(module, fmt)) return;
    ++tiff_errors;
    if (CaptureMessages::Active())
        SayTiff(module, "", fmt, ap);
    else if (previous_tiff_error)
        previous_tiff_error(module, fmt, ap);
}

void FilteredTiffWarning(const char* module, const char* fmt, va_list ap) {
    if (IsUnknownTagNoise(module, fmt)) return;
    if (CaptureMessages::Active())
        SayTiff(module, "Warning, ", fmt, ap);
    else if (previous_tiff_warning)
        previous_tiff_warning(module, fmt, ap);
}

}  // namespace

void FilterTiffMessages() {
    auto set_error = reinterpret_cast<TiffSetHandler>(dlsym(RTLD_DEFAULT, "TIFFSetErrorHandler"));
    auto set_warning =
        reinterpret_cast<TiffSetHandler>(dlsym(RTLD_DEFAULT, "TIFFSetWarningHandler"));
    if (set_error) previous_tiff_error = set_error(FilteredTiffError);
    if (set_warning) previous_tiff_warning = set_warning(FilteredTiffWarning);
}

namespace quen_merge {

unsigned TiffErrorCount() { return tiff_errors; }

}  // namespace quen_merge
