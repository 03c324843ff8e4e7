#include "merge.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "align.h"
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
        std::unique_ptr<ImageData> frame(LoadImageData(name.c_str(), Merge::kBytesPerPixel));
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

namespace {

constexpr size_t kMinStars = 5;  // fewer stars leave a frame out of the alignment

// Aligns one loaded frame and adds it, or makes it the star reference.
void AlignFrame(const Image16* image, std::unique_ptr<StarReference>& reference,
                AverageAlign& accumulator) {
    std::vector<StarRef> stars;
    FindStars(image, stars);
    if (stars.size() < kMinStars) return;
    if (!reference) {
        std::printf("Found %li stars in reference image\n", long(stars.size()));
        reference.reset(new StarReference(StarPositions(stars)));
        return;
    }
    const std::vector<StarPoint> frame_stars = StarPositions(stars);
    std::printf("Fitting %li stars to reference image\n", long(frame_stars.size()));
    double transform[3];
    if (!reference->Fit(frame_stars, transform)) return;
    std::printf("Rotate %lf degrees around (0,0), Translate (%lf, %lf)\n", transform[0],
                transform[1], transform[2]);
    accumulator.AddFrame(image, transform[0], transform[1], transform[2]);
}

}  // namespace

FloatImage* MergeAlignStars(const std::vector<std::string>& files, const FloatImage* dark,
                            MergeType /*type*/) {
    if (files.empty()) return nullptr;
    std::unique_ptr<AverageAlign> accumulator;
    std::unique_ptr<StarReference> reference;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& name = files[i];
        const std::unique_ptr<ImageData> frame(LoadImageData(name.c_str(), AverageAlign::kBytesPerPixel));
        if (!frame) {
            std::printf("Unable to load Frame \"%s\".\n", name.c_str());
            continue;
        }
        const Image16* image = frame->Image();
        if (!image) continue;
        // The first frame that loads is the grid of the result and its first content.
        if (!accumulator) accumulator.reset(new AverageAlign(dark, image));
        std::printf("Image %li - \"%s\"\n", long(i), name.c_str());
        AlignFrame(image, reference, *accumulator);
    }
    std::puts("Post processing");
    if (!accumulator) return nullptr;
    accumulator->PostProcess();
    return accumulator->ReleaseAccumulator();
}

}  // namespace quen_merge
