#include "io/freeimage_save.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "io/atomic_file.h"

namespace quen_merge {

namespace {

// A FreeImage output stream over a stdio file that remembers a short write,
// which FreeImage_Save itself would not report. Writers such as the PNM one
// hand over one sample at a time; the stream gathers them into large writes.
class SaveStream {
public:
    explicit SaveStream(FILE* file) : file(file), pending(new char[kGatherBytes]) {}

    unsigned Write(const void* data, unsigned size, unsigned count) {
        const size_t bytes = size_t(size) * count;
        if (used + bytes > kGatherBytes && !Flush()) return 0;
        if (bytes >= kGatherBytes) {
            const size_t written = std::fwrite(data, size, count, file);
            failed = failed || written != count;
            return unsigned(written);
        }
        std::memcpy(pending.get() + used, data, bytes);
        used += bytes;
        return count;
    }
    // Everything written so far goes to the file; false after any short write.
    bool Flush() {
        if (used && std::fwrite(pending.get(), 1, used, file) != used) failed = true;
        used = 0;
        return !failed;
    }
    FILE* File() {
        Flush();
        return file;
    }
    bool Failed() const { return failed; }

private:
    static constexpr size_t kGatherBytes = 1 << 20;
    FILE* file;
    std::unique_ptr<char[]> pending;
    size_t used = 0;
    bool failed = false;
};

unsigned DLL_CALLCONV StreamWrite(void* buffer, unsigned size, unsigned count, fi_handle h) {
    return static_cast<SaveStream*>(h)->Write(buffer, size, count);
}

unsigned DLL_CALLCONV StreamRead(void* buffer, unsigned size, unsigned count, fi_handle h) {
    return unsigned(std::fread(buffer, size, count, static_cast<SaveStream*>(h)->File()));
}

int DLL_CALLCONV StreamSeek(fi_handle h, long offset, int origin) {
    return std::fseek(static_cast<SaveStream*>(h)->File(), offset, origin);
}

long DLL_CALLCONV StreamTell(fi_handle h) {
    return std::ftell(static_cast<SaveStream*>(h)->File());
}

// PNG at zlib's fastest level: its default level takes several times as long
// for a file only a few percent smaller (docs/BENCHMARKS.md); the pixels are
// the same.
int SaveFlags(FREE_IMAGE_FORMAT format) { return format == FIF_PNG ? PNG_Z_BEST_SPEED : 0; }

}  // namespace

bool SaveBitmapAtomically(FREE_IMAGE_FORMAT format, FIBITMAP* bitmap, const char* filename) {
    return WriteAtomically(filename, [&](FILE* file) {
        SaveStream stream(file);
        FreeImageIO io{StreamRead, StreamWrite, StreamSeek, StreamTell};
        const bool saved = FreeImage_SaveToHandle(format, bitmap, &io, &stream, SaveFlags(format));
        return stream.Flush() && saved;
    });
}


}  // namespace quen_merge
