#include "io/file_integrity.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io/image_formats.h"

namespace {

constexpr size_t kPnmHeaderLimit = 4096;  // a PNM header with comments fits in this
constexpr size_t kBmpHeaderBytes = 54;    // file header and BITMAPINFOHEADER
constexpr uint32_t kBmpInfoHeaderSize = 40;
constexpr uint32_t kBmpRgb = 0, kBmpBitfields = 3;  // uncompressed pixel layouts

// The whole file, or its first `limit` bytes; false when it cannot be read.
bool ReadFile(const char* filename, std::vector<unsigned char>& bytes, size_t limit = SIZE_MAX) {
    FILE* f = std::fopen(filename, "rb");
    if (!f) return false;
    unsigned char buffer[1 << 16];
    size_t n;
    while (bytes.size() < limit && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + std::min(n, limit - bytes.size()));
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

uint64_t FileSize(const char* filename) {
    FILE* f = std::fopen(filename, "rb");
    if (!f) return 0;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    return size > 0 ? uint64_t(size) : 0;
}

// Reads PNM header tokens: whitespace and '#' comments between them.
class PnmTokens {
public:
    PnmTokens(const std::vector<unsigned char>& bytes, size_t at) : bytes(bytes), at(at) {}
    // The next token; empty at the end of the data.
    std::string Next() {
        SkipSpace();
        std::string token;
        while (at < bytes.size() && !std::isspace(bytes[at]) && bytes[at] != '#')
            token.push_back(char(bytes[at++]));
        return token;
    }
    void SkipSpace() {
        while (at < bytes.size() && (std::isspace(bytes[at]) || bytes[at] == '#')) {
            if (bytes[at] == '#')
                while (at < bytes.size() && bytes[at] != '\n') ++at;
            else
                ++at;
        }
    }
    size_t Position() const { return at; }

private:
    const std::vector<unsigned char>& bytes;
    size_t at;
};

// A plain positive decimal number, or 0.
uint64_t PositiveNumber(const std::string& token) {
    if (token.empty() || token.size() > 9) return 0;
    uint64_t v = 0;
    for (char c : token) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + uint64_t(c - '0');
    }
    return v;
}

// Counts the samples of a text PNM body: numbers, or for P1 single digits,
// which may run together.
uint64_t CountTextSamples(const char* filename, size_t body, bool bit_digits, uint64_t wanted) {
    std::vector<unsigned char> bytes;
    if (!ReadFile(filename, bytes)) return 0;
    PnmTokens tokens(bytes, body);
    uint64_t count = 0;
    while (count < wanted) {
        const std::string token = tokens.Next();
        if (token.empty()) break;
        count += bit_digits ? token.size() : 1;
    }
    return count;
}

FileIntegrity CheckPnm(const char* filename) {
    std::vector<unsigned char> head;
    if (!ReadFile(filename, head, kPnmHeaderLimit) || head.size() < 2 || head[0] != 'P')
        return FileIntegrity::kWhole;  // not for this check to judge
    const char kind = char(head[1]);
    if (kind < '1' || kind > '6') return FileIntegrity::kWhole;
    const bool bitmap = kind == '1' || kind == '4';
    const uint64_t channels = kind == '3' || kind == '6' ? 3 : 1;
    PnmTokens tokens(head, 2);
    const uint64_t width = PositiveNumber(tokens.Next());
    const uint64_t height = PositiveNumber(tokens.Next());
    if (width == 0 || height == 0) return FileIntegrity::kBadDimensions;
    const uint64_t maxval = bitmap ? 1 : PositiveNumber(tokens.Next());
    if (maxval == 0) return FileIntegrity::kBadDimensions;
    const uint64_t samples = width * height * channels;
    if (kind <= '3') {
        tokens.SkipSpace();
        const uint64_t found = CountTextSamples(filename, tokens.Position(), bitmap, samples);
        return found < samples ? FileIntegrity::kTruncated : FileIntegrity::kWhole;
    }
    const size_t body = tokens.Position() + 1;  // one whitespace byte ends the header
    const uint64_t bytes = bitmap ? (width + 7) / 8 * height : samples * (maxval > 255 ? 2 : 1);
    return FileSize(filename) < body + bytes ? FileIntegrity::kTruncated : FileIntegrity::kWhole;
}

uint32_t Little32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

FileIntegrity CheckBmp(const char* filename) {
    std::vector<unsigned char> head;
    if (!ReadFile(filename, head, kBmpHeaderBytes) || head.size() < kBmpHeaderBytes)
        return FileIntegrity::kWhole;  // the decoder refuses a header this short
    if (Little32(&head[14]) < kBmpInfoHeaderSize) return FileIntegrity::kWhole;  // OS/2 layout
    const uint32_t compression = Little32(&head[30]);
    if (compression != kBmpRgb && compression != kBmpBitfields) return FileIntegrity::kWhole;
    const int32_t width = int32_t(Little32(&head[18])), height = int32_t(Little32(&head[22]));
    const uint64_t bits = uint64_t(head[28]) | uint64_t(head[29]) << 8;
    if (width <= 0 || height == 0) return FileIntegrity::kBadDimensions;
    const uint64_t rows = height < 0 ? uint64_t(-int64_t(height)) : uint64_t(height);
    const uint64_t stride = (uint64_t(width) * bits + 31) / 32 * 4;
    const uint64_t end = uint64_t(Little32(&head[10])) + stride * rows;
    return FileSize(filename) < end ? FileIntegrity::kTruncated : FileIntegrity::kWhole;
}

// A JPEG is whole when its marker segments and entropy-coded scans lead to
// the end-of-image marker; a file cut short never reaches it.
FileIntegrity CheckJpeg(const char* filename) {
    std::vector<unsigned char> b;
    if (!ReadFile(filename, b) || b.size() < 4) return FileIntegrity::kWhole;
    size_t at = 2;  // after the start-of-image marker
    while (at + 1 < b.size()) {
        if (b[at] != 0xFF) return FileIntegrity::kWhole;  // damaged, not ours to judge
        const unsigned char marker = b[at + 1];
        if (marker == 0xFF) { ++at; continue; }  // fill byte
        if (marker == 0xD9) return FileIntegrity::kWhole;  // end of image
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) { at += 2; continue; }
        if (at + 3 >= b.size()) break;
        at += 2 + ((size_t(b[at + 2]) << 8) | b[at + 3]);
        if (marker != 0xDA) continue;
        // Entropy-coded data: the next marker is an 0xFF not followed by a
        // stuffed 0x00 or a restart marker.
        while (at + 1 < b.size() &&
               !(b[at] == 0xFF && b[at + 1] != 0x00 && (b[at + 1] < 0xD0 || b[at + 1] > 0xD7)))
            ++at;
    }
    return FileIntegrity::kTruncated;
}

}  // namespace

FileIntegrity CheckFileIntegrity(FREE_IMAGE_FORMAT format, const char* filename) {
    const quen_merge::ImageFormat* known = quen_merge::FormatOf(format);
    switch (known ? known->integrity : quen_merge::IntegrityCheck::kDecoder) {
        case quen_merge::IntegrityCheck::kPnm: return CheckPnm(filename);
        case quen_merge::IntegrityCheck::kBmp: return CheckBmp(filename);
        case quen_merge::IntegrityCheck::kJpeg: return CheckJpeg(filename);
        case quen_merge::IntegrityCheck::kDecoder: break;
    }
    return FileIntegrity::kWhole;
}
