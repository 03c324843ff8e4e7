// libFuzzer target: the input bytes as an image file (FITS among them),
// through loading, conversion, both star detectors, descriptors, triangle
// matching and the accumulators, clipped ones among them.
#include <FreeImage.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "stars/align.h"
#include "io/image_io.h"
#include "stack/merge_utils.h"
#include "stars/star_detect.h"
#include "stars/star_match.h"

namespace {

constexpr size_t kMaxDecodedPixels = 1 << 22;  // larger headers are not decoded (memory limit)
constexpr size_t kMaxPixels = 1 << 18;         // larger frames are loaded but not stacked
constexpr size_t kMaxAlignedPixels = 1 << 14;

void Quiet(FREE_IMAGE_FORMAT, const char*) {}

// FreeImage set up once; progress lines go to /dev/null.
const std::string& InputPath() {
    static const std::string path = [] {
        FreeImage_Initialise(TRUE);
        FreeImage_SetOutputMessage(Quiet);
        FilterTiffMessages();
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
        return "/tmp/tarnic-image-fuzz-" + std::to_string(getpid());
    }();
    return path;
}

// Keeps the fuzzer within its memory limit: a tiny file may announce a frame
// of hundreds of megapixels, which the loader accepts where memory allows.
bool AnnouncesHugeFrame(const std::string& path) {
    const FREE_IMAGE_FORMAT format = FreeImage_GetFileType(path.c_str(), 0);
    if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsNoPixels(format)) return false;
    FIBITMAP* header = FreeImage_Load(format, path.c_str(), FIF_LOAD_NOPIXELS);
    if (!header) return false;
    const size_t pixels = size_t(FreeImage_GetWidth(header)) * FreeImage_GetHeight(header);
    FreeImage_Unload(header);
    return pixels > kMaxDecodedPixels;
}

void Exercise(const Image16* image) {
    std::vector<quen_merge::StarRef> stars;
    quen_merge::FindStars(image, stars);
    std::unique_ptr<quen_merge::StarTree> tree(quen_merge::CreateKDTree(stars));
    const std::vector<quen_merge::StarPoint> points = quen_merge::StarPositions(stars);
    std::vector<quen_merge::PatternNode> patterns;
    quen_merge::GeneratePatternNodes(points, tree.get(), patterns);

    // The detector and matcher of -t s, the frame matched onto itself.
    std::vector<quen_merge::StarRef> measured;
    quen_merge::DetectStars(image, nullptr, measured);
    const quen_merge::TriangleMatcher matcher(measured);
    quen_merge::SkyHistory history(image->width, image->height);
    quen_merge::StarFit fit;
    std::string why;
    matcher.Match(measured, history, fit, why);

    quen_merge::Average mean;
    quen_merge::Lighten max;
    quen_merge::ClippedAverage clipped(nullptr, 3.0);
    for (quen_merge::Merge* m : {static_cast<quen_merge::Merge*>(&mean), static_cast<quen_merge::Merge*>(&max),
                                 static_cast<quen_merge::Merge*>(&clipped)}) {
        m->AddFrame(image);
        m->AddFrame(image);
        m->PostProcess();
    }
    if (size_t(image->width) * image->height <= kMaxAlignedPixels) {
        quen_merge::AverageAlign aligned(mean.Accumulator(), image, 3.0);
        aligned.AddFrame(image, 1.5, 2.25, -3.5);
        aligned.PostProcess();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = InputPath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    if (AnnouncesHugeFrame(path)) return 0;
    std::unique_ptr<quen_merge::ImageData> frame(quen_merge::LoadImageData(path.c_str()));
    if (frame && frame->Image() && size_t(frame->Image()->width) * frame->Image()->height <= kMaxPixels)
        Exercise(frame->Image());
    return 0;
}
