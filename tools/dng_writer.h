// A camera's raw frame as a DNG file: one 16-bit plane behind an RGGB
// colour filter, uncompressed, with its black and white levels, and the
// colour matrix of a camera whose colours are linear sRGB's, under daylight,
// so that a decoder's colour space is the rendering's own. Only what raw
// decoders need to read it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace dng_writer {

// A little-endian TIFF directory being written: entries in tag order, values
// of more than 4 bytes placed after the directory.
class Directory {
public:
    enum Type : uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kSRational = 10 };

    void Add(uint16_t tag, Type type, const std::vector<uint32_t>& values) {
        entries.push_back({tag, type, values, {}});
    }
    void AddText(uint16_t tag, const std::string& text) {
        entries.push_back({tag, kAscii, {}, std::vector<uint8_t>(text.begin(), text.end())});
        entries.back().bytes.push_back(0);
    }
    // The file's bytes: header, directory, outside values, then data, whose
    // offset the entry of strip_tag is given.
    std::vector<uint8_t> Bytes(uint16_t strip_tag, const std::vector<uint8_t>& data) {
        for (Entry& e : entries)
            if (e.bytes.empty()) e.bytes = Encode(e);
        const uint32_t directory = 8, after = directory + 2 + 12 * uint32_t(entries.size()) + 4;
        uint32_t outside = after;
        for (const Entry& e : entries)
            if (e.bytes.size() > 4) outside += uint32_t((e.bytes.size() + 1) & ~size_t(1));
        for (Entry& e : entries)
            if (e.tag == strip_tag) e.bytes = Encode({e.tag, kLong, {outside}, {}});
        std::vector<uint8_t> out = {'I', 'I', 42, 0};
        Put32(out, directory);
        Put16(out, uint16_t(entries.size()));
        uint32_t at = after;
        std::vector<uint8_t> tail;
        for (const Entry& e : entries) {
            Put16(out, e.tag);
            Put16(out, e.type);
            Put32(out, Count(e));
            if (e.bytes.size() <= 4) {
                std::vector<uint8_t> inside = e.bytes;
                inside.resize(4, 0);
                out.insert(out.end(), inside.begin(), inside.end());
            } else {
                Put32(out, at);
                tail.insert(tail.end(), e.bytes.begin(), e.bytes.end());
                if (e.bytes.size() % 2) tail.push_back(0);
                at += uint32_t((e.bytes.size() + 1) & ~size_t(1));
            }
        }
        Put32(out, 0);
        out.insert(out.end(), tail.begin(), tail.end());
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }

private:
    struct Entry {
        uint16_t tag;
        Type type;
        std::vector<uint32_t> values;  // numerators and denominators in turn for rationals
        std::vector<uint8_t> bytes;
    };
    static void Put16(std::vector<uint8_t>& out, uint16_t v) {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    }
    static void Put32(std::vector<uint8_t>& out, uint32_t v) {
        for (int k = 0; k < 4; ++k) out.push_back(uint8_t(v >> (8 * k)));
    }
    static std::vector<uint8_t> Encode(const Entry& e) {
        std::vector<uint8_t> b;
        for (uint32_t v : e.values) {
            if (e.type == kByte) b.push_back(uint8_t(v));
            else if (e.type == kShort) Put16(b, uint16_t(v));
            else Put32(b, v);
        }
        return b;
    }
    static uint32_t Count(const Entry& e) {
        if (e.type == kAscii) return uint32_t(e.bytes.size());
        if (e.type == kRational || e.type == kSRational) return uint32_t(e.values.size() / 2);
        return uint32_t(e.values.size());
    }
    std::vector<Entry> entries;
};

// Writes the width x height plane cfa (row by row, R G / G B) to name.
inline bool WriteDng(const char* name, uint32_t width, uint32_t height, const std::vector<uint16_t>& cfa,
                     uint16_t black, uint16_t white) {
    constexpr uint16_t kStripOffsets = 273;
    Directory d;
    d.Add(254, Directory::kLong, {0});  // the main image
    d.Add(256, Directory::kLong, {width});
    d.Add(257, Directory::kLong, {height});
    d.Add(258, Directory::kShort, {16});
    d.Add(259, Directory::kShort, {1});      // uncompressed
    d.Add(262, Directory::kShort, {32803});  // colour filter array
    d.AddText(271, "tarnic");
    d.AddText(272, "starfield");
    d.Add(kStripOffsets, Directory::kLong, {0});
    d.Add(277, Directory::kShort, {1});
    d.Add(278, Directory::kLong, {height});
    d.Add(279, Directory::kLong, {width * height * 2});
    d.Add(284, Directory::kShort, {1});
    d.Add(33421, Directory::kShort, {2, 2});        // the pattern's repeat
    d.Add(33422, Directory::kByte, {0, 1, 1, 2});   // R G / G B
    d.Add(50706, Directory::kByte, {1, 4, 0, 0});   // DNG version
    d.Add(50707, Directory::kByte, {1, 1, 0, 0});
    d.AddText(50708, "tarnic starfield");
    d.Add(50714, Directory::kShort, {black});
    d.Add(50717, Directory::kShort, {white});
    // XYZ to the camera's colours: linear sRGB's primaries, so that a
    // decoder's conversion to sRGB leaves the colours as rendered.
    const int32_t kXyzToSrgb[9] = {32406, -15372, -4986, -9689, 18758, 415, 557, -2040, 10570};
    std::vector<uint32_t> matrix;
    for (int32_t v : kXyzToSrgb) matrix.insert(matrix.end(), {uint32_t(v), 10000});
    d.Add(50721, Directory::kSRational, matrix);
    d.Add(50728, Directory::kRational, {1, 1, 1, 1, 1, 1});  // as shot neutral: no white balance
    d.Add(50778, Directory::kShort, {21});                  // daylight (D65)
    std::vector<uint8_t> data(cfa.size() * 2);
    for (size_t k = 0; k < cfa.size(); ++k) {
        data[2 * k] = uint8_t(cfa[k]);
        data[2 * k + 1] = uint8_t(cfa[k] >> 8);
    }
    const std::vector<uint8_t> bytes = d.Bytes(kStripOffsets, data);
    FILE* f = std::fopen(name, "wb");
    if (!f) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    if (!(written && closed)) std::remove(name);
    return written && closed;
}

}  // namespace dng_writer
