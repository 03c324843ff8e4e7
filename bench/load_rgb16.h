// A frame as a 16-bit RGB FreeImage bitmap, as tarnic's loader reads it:
// 16-bit RGB needs no conversion. Null when it cannot be read; the caller
// unloads the result.
#pragma once

#include <FreeImage.h>

#include <vector>

inline FIBITMAP* LoadRgb16(const char* path) {
    FIBITMAP* loaded = FreeImage_Load(FreeImage_GetFileType(path, 0), path, 0);
    if (!loaded || FreeImage_GetImageType(loaded) == FIT_RGB16) return loaded;
    FIBITMAP* rgb = FreeImage_ConvertToRGB16(loaded);
    FreeImage_Unload(loaded);
    return rgb;
}

// One value per pixel of the picture at path, top row first: what pick
// makes of each 16-bit RGB pixel. False when it cannot be read.
template <typename Pick>
bool LoadPlane(const char* path, unsigned& width, unsigned& height, std::vector<double>& values, Pick pick) {
    FIBITMAP* rgb = LoadRgb16(path);
    if (!rgb) return false;
    width = FreeImage_GetWidth(rgb);
    height = FreeImage_GetHeight(rgb);
    values.resize(size_t(width) * height);
    for (unsigned y = 0; y < height; ++y) {
        const FIRGB16* line = reinterpret_cast<const FIRGB16*>(FreeImage_GetScanLine(rgb, height - 1 - y));
        for (unsigned x = 0; x < width; ++x) values[size_t(y) * width + x] = pick(line[x]);
    }
    FreeImage_Unload(rgb);
    return true;
}
