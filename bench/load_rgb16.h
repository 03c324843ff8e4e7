// A frame as a 16-bit RGB FreeImage bitmap, as tarnic's loader reads it:
// 16-bit RGB needs no conversion. Null when it cannot be read; the caller
// unloads the result.
#pragma once

#include <FreeImage.h>

inline FIBITMAP* LoadRgb16(const char* path) {
    FIBITMAP* loaded = FreeImage_Load(FreeImage_GetFileType(path, 0), path, 0);
    if (!loaded || FreeImage_GetImageType(loaded) == FIT_RGB16) return loaded;
    FIBITMAP* rgb = FreeImage_ConvertToRGB16(loaded);
    FreeImage_Unload(loaded);
    return rgb;
}
