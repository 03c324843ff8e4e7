// floor: what any stacking tool on FreeImage must spend. Loads and converts
// the inputs exactly as tarnic's loader does and saves one 16-bit RGB result
// of their size (the first frame's pixels, so that a compressing format has
// real content to compress), doing nothing else.
// usage: floor OUTPUT INPUT...
#include <FreeImage.h>
#include <malloc.h>

#include <cstdio>

#include "io/image_io.h"
#include "load_rgb16.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: floor OUTPUT INPUT...\n", stderr);
        return 2;
    }
    // tarnic's allocation policy: frame-sized buffers stay in the heap.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    FreeImage_Initialise(TRUE);
    FilterTiffMessages();
    FIBITMAP* result = nullptr;
    for (int i = 2; i < argc; ++i) {
        FIBITMAP* frame = LoadRgb16(argv[i]);
        if (!frame) {
            std::fprintf(stderr, "floor: cannot load %s\n", argv[i]);
            return 1;
        }
        if (result)
            FreeImage_Unload(frame);
        else
            result = frame;
    }
    const bool saved = FreeImage_Save(GetFileType(argv[1]), result, argv[1], 0);
    FreeImage_Unload(result);
    FreeImage_DeInitialise();
    return saved ? 0 : 1;
}
