// floor: what any stacking tool on FreeImage must spend. Loads and converts
// the inputs exactly as tarnic's loader does and saves one 16-bit RGB result
// of the first input's size, doing nothing else.
// usage: floor OUTPUT INPUT...
#include <FreeImage.h>

#include <cstdio>

#include "image_io.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: floor OUTPUT INPUT...\n", stderr);
        return 2;
    }
    ReuseFrameMemory();  // the loader's allocation policy too
    FreeImage_Initialise(TRUE);
    FilterTiffMessages();
    unsigned width = 0, height = 0;
    for (int i = 2; i < argc; ++i) {
        const FREE_IMAGE_FORMAT format = FreeImage_GetFileType(argv[i], 0);
        FIBITMAP* loaded = FreeImage_Load(format, argv[i], 0);
        if (!loaded) return 1;
        // Like the loader: 16-bit RGB needs no conversion.
        if (FreeImage_GetImageType(loaded) != FIT_RGB16) {
            FIBITMAP* rgb = FreeImage_ConvertToRGB16(loaded);
            if (!rgb) return 1;
            FreeImage_Unload(rgb);
        }
        if (i == 2) {
            width = FreeImage_GetWidth(loaded);
            height = FreeImage_GetHeight(loaded);
        }
        FreeImage_Unload(loaded);
    }
    FIBITMAP* result = FreeImage_AllocateT(FIT_RGB16, width, height);
    const bool saved = result && FreeImage_Save(GetFileType(argv[1]), result, argv[1], 0);
    if (result) FreeImage_Unload(result);
    FreeImage_DeInitialise();
    return saved ? 0 : 1;
}
