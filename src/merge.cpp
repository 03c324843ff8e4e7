#include "merge.h"

#include <cstdio>
#include <memory>

#include "image_io.h"

namespace quen_merge {

FloatImage* MergeNoAlign(const std::vector<std::string>& files, const FloatImage* dark,
                         MergeType type) {
    if (files.empty()) return nullptr;
    std::unique_ptr<Merge> merge;
    if (type == MergeAverage)
        merge.reset(new Average(dark));
    else
        merge.reset(new Lighten(dark));
    for (const std::string& name : files) {
        std::unique_ptr<ImageData> frame(LoadImageData(name.c_str()));
        if (!frame) {
            std::printf("Unable to load Frame \"%s\".\n", name.c_str());
            continue;
        }
        if (frame->Image()) {
            if (merge->AddFrame(frame->Image()))
                std::printf("Frame \"%s\" added.\n", name.c_str());
            else
                std::printf("Frame \"%s\" rejected.\n", name.c_str());
        }
    }
    std::puts("Post processing");
    merge->PostProcess();
    return merge->ReleaseAccumulator();
}

FloatImage* MergeAlignStars(const std::vector<std::string>&, const FloatImage*, MergeType) {
    return nullptr;
}

}  // namespace quen_merge
