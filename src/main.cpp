// tarnic: stacks a series of night-sky frames into one 16-bit image.
#include <FreeImage.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "base/console.h"
#include "base/memory_pages.h"
#include "io/atomic_file.h"
#include "io/image_formats.h"
#include "io/image_io.h"
#include "io/same_file.h"
#include "io/frame_report.h"
#include "io/frame_report_page.h"
#include "io/stretched_preview.h"
#include "stack/stack_plan.h"
#include "base/message_log.h"
#include "options.h"

namespace {

constexpr const char* kProgramName = "Velunor";
constexpr const char* kVersion = TARNIC_VERSION;
constexpr int kReusedAllocationLimit = 1 << 30;  // allocations up to 1 GiB stay in the heap

// Called on the thread that loads: a frame loaded ahead of its turn keeps
// these lines with its other messages.
void FreeImageErrorHandler(FREE_IMAGE_FORMAT fif, const char* message) {
    using quen_merge::SayFromCallback;
    using quen_merge::Stream;
    if (fif != FIF_UNKNOWN) SayFromCallback(Stream::kErr, "%s Format\n", FreeImage_GetFormatFromFIF(fif));
    SayFromCallback(Stream::kErr, "%s\n", message);
}

// Says that file could not be written; the exit status for it.
int Unwritten(const std::string& file) {
    std::fflush(stdout);
    std::fprintf(stderr, "unable to write \"%s\"\n", file.c_str());
    return 1;
}

// The long side of the preview a report page shows, pixels.
constexpr unsigned kReportPreviewSide = 1200;

// The report of every frame: a page for .html names, CSV otherwise; the page
// shows the stack (may be null) too.
bool WriteReport(const std::string& name, const std::vector<quen_merge::FrameScore>& rows, const FloatImage* result,
                 const quen_merge::StackHistory& history) {
    if (!quen_merge::IsReportPageName(name.c_str())) return quen_merge::WriteFrameReport(name.c_str(), rows);
    const std::string preview = result ? quen_merge::PreviewJpeg(*result, kReportPreviewSide) : "";
    return quen_merge::WriteFrameReportPage(name.c_str(), history.merge_type, rows, preview);
}

// Stacks and writes; the process exit status.
int Run(const RunOptions& options) {
    std::unique_ptr<FloatImage> result;
    quen_merge::StackHistory history;
    std::unique_ptr<quen_merge::FrameScores> scores;
    if (!options.report.empty()) scores = std::make_unique<quen_merge::FrameScores>(options.lights);
    if (!quen_merge::RunStackPlan(options.plan, options.lights, result, history, scores.get())) return 1;
    // The report tells most when the stack failed.
    if (scores && !WriteReport(options.report, scores->Rows(), result.get(), history))
        return Unwritten(options.report);
    if (!result) {
        std::fflush(stdout);
        std::fprintf(stderr, "no frame could be stacked\n");
        return 1;
    }
    if (!quen_merge::WriteImageLDR(options.output.c_str(), result.get(), history, options.float_samples))
        return Unwritten(options.output);
    if (!options.preview.empty() && !quen_merge::WritePreview(options.preview.c_str(), *result, options.preview_size))
        return Unwritten(options.preview);
    return 0;
}

// Where the system gives transparent huge pages on request, the heap that
// frame-sized buffers come from is asked for them: a buffer's first touch then
// costs one fault per 2 MiB instead of one per 4 KiB, which on virtual
// machines and busy hosts costs more than the stacking. The heap grows by a
// block taken and given back at once: it stays mapped (below the trim
// threshold) and untouched, with the advice on it. Where huge pages are not
// offered, the advice changes nothing.
void AskForHugePages() {
    const size_t reserve = size_t(kReusedAllocationLimit) - quen_merge::kHugePageBytes;
    char* block = static_cast<char*>(std::malloc(reserve));
    if (!block) return;
    quen_merge::AdviseWholeHugePages(block, reserve, MADV_HUGEPAGE);
    std::free(block);
}

// Frame-sized buffers come and go once per frame; kept in the heap they are
// reused, instead of being mapped afresh and faulted in page by page. One
// arena for all threads: the loading thread's frames are freed by the main
// thread, and a thread's own arena would hand such buffers back to the system.
void ReuseFrameMemory() {
    mallopt(M_MMAP_THRESHOLD, kReusedAllocationLimit);
    mallopt(M_TRIM_THRESHOLD, kReusedAllocationLimit);
    mallopt(M_ARENA_MAX, 1);
    AskForHugePages();
}

// Whether file can be written, found before any frame is read; says why not.
bool CheckWritable(const std::string& file) {
    std::string why;
    if (CanWriteAtomically(file.c_str(), why)) return true;
    quen_merge::Warn("cannot write \"%s\": %s", file.c_str(), why.c_str());
    return false;
}

// Whether file is one of the run's frames, lights or calibration, which
// writing it would destroy; says which.
bool OverwritesAnInput(const std::string& file, const RunOptions& options) {
    const quen_merge::CalibrationFrames& calibration = options.plan.calibration;
    for (const std::vector<std::string>* names :
         {&options.lights, &calibration.biases, &calibration.darks, &calibration.flats})
        for (const std::string& name : *names)
            if (quen_merge::IsSameFile(file, name)) {
                quen_merge::Warn("\"%s\" would overwrite the input \"%s\": name another file", file.c_str(),
                                 name.c_str());
                return true;
            }
    return false;
}

// Whether two of the run's own files (the result, the preview, the report)
// would be one: the second written would replace the first.
bool NamedTwice(const RunOptions& options) {
    const std::string* names[] = {&options.output, &options.preview, &options.report};
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = i + 1; j < 3; ++j) {
            if (names[i]->empty() || names[j]->empty()) continue;
            std::error_code error;
            const bool one = quen_merge::IsSameFile(*names[i], *names[j]) ||
                             std::filesystem::weakly_canonical(*names[i], error) ==
                                 std::filesystem::weakly_canonical(*names[j], error);
            if (!one) continue;
            quen_merge::Warn("\"%s\" and \"%s\" are one file: the result, the preview and the report need a "
                             "name each", names[i]->c_str(), names[j]->c_str());
            return true;
        }
    return false;
}

// Whether the result can be written, found before any frame is read; warns
// when its name's extension chooses no format, and when -F cannot apply.
bool CheckOutput(const std::string& output, bool float_samples) {
    if (!CheckWritable(output)) return false;
    const quen_merge::ImageFormat& format = quen_merge::OutputFormatOf(output.c_str());
    if (float_samples && !quen_merge::IsFits(format) && format.format != FIF_TIFF)
        quen_merge::Warn("-F applies to FITS and TIFF results: \"%s\" gets 16-bit samples", output.c_str());
    if (quen_merge::HasForeignExtension(output.c_str()))
        quen_merge::Warn("\"%s\" will hold PNG data: only .png, .tif/.tiff, .ppm and .fit/.fits/.fts choose a format",
                         output.c_str());
    return true;
}

// Whether the result and the preview may be written where they are named,
// found before any frame is read; says why not.
bool CheckTargets(const RunOptions& options) {
    const bool preview = !options.preview.empty(), report = !options.report.empty();
    if (report && !quen_merge::IsReportName(options.report.c_str()) &&
        !quen_merge::IsReportPageName(options.report.c_str())) {
        quen_merge::Warn("the report is CSV or a page: name it .csv or .html, not \"%s\"", options.report.c_str());
        return false;
    }
    if (report && (OverwritesAnInput(options.report, options) || !CheckWritable(options.report))) return false;
    if (NamedTwice(options)) return false;
    if (preview && !quen_merge::IsPreviewName(options.preview.c_str())) {
        quen_merge::Warn("the preview is PNG or JPEG: \"%s\" would hold data of another format than its name says",
                         options.preview.c_str());
        return false;
    }
    if (OverwritesAnInput(options.output, options) || (preview && OverwritesAnInput(options.preview, options)))
        return false;
    return CheckOutput(options.output, options.float_samples) && (!preview || CheckWritable(options.preview));
}

void show_help() {
    std::printf("%s %s.\n\n", kProgramName, kVersion);
    std::puts("Usage: tarnic [options] <input1> <input2> ...");
    std::puts("Options:");
    std::puts("\t-h        : This help text");
    std::puts("\t-d        : add dark frame.  You may have many of these.");
    std::printf("\t-o <file> : Set output file.  Default is \"%s\".\n", RunOptions().output.c_str());
    std::puts("\t-t <type> : Set merge type.  Default is \"n\". ");
    std::puts("\t-r <kappa>: Reject outliers: a mean without the values beyond kappa sigma of the noise.");
    std::puts("\t-p <file> : Also write an 8-bit preview stretched for the eye (PNG; JPEG for .jpg).");
    std::printf("\t-P <size> : The preview's long side in pixels.  Default is %u.\n", RunOptions().preview_size);
    std::puts("\t-F        : Write 32-bit floating-point samples (FITS and TIFF results).");
    std::puts("\t-b <file> : add bias frame.  You may have many of these.");
    std::puts("\t-f <file> : add flat frame.  You may have many of these.");
    std::puts("\t-M <dir>  : Save the bias, dark and flat masters there, to give again as -b, -d, -f.");
    std::puts("\t-R <file> : Also write a report of every frame: its stars' sharpness and roundness, its sky "
              "(CSV, or a page for .html).");
    std::puts("\t-k <rule> : Keep the best frames: 75% of them by score, or those with fwhm<3.5 or round>0.8.");
    std::puts("\t-w        : Weigh each frame by its sky's noise: a noisy frame counts for less.");
    std::puts("\t-T <dir>  : With -t t, also write the trails as they grow there, a numbered picture a frame.");
    std::puts("\t-g        : With -t s or -t a, keep the ground (a landscape) still: found where the frames hold it.");
    std::puts("\t-G <file> : As -g, the ground where the mask image is white.");
    std::puts("\t-C <n>    : Star trails fade to half over n frames, like comets: the newest end the brightest.");
    std::puts("\tMerge types:");
    for (const char* line : MergeTypeHelp()) std::puts(line);
    std::printf("\n%s\n", FreeImage_GetCopyrightMessage());
}

}  // namespace

int main(int argc, char** argv) {
    // A log file or a pipe sees each line as it is printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ReuseFrameMemory();
    FreeImage_Initialise(TRUE);
    FreeImage_SetOutputMessage(FreeImageErrorHandler);
    FilterTiffMessages();
    if (argc < 2) {
        show_help();
        FreeImage_DeInitialise();
        return 0;
    }
    RunOptions options;
    switch (ParseOptions(argc, argv, options)) {
        case ParseResult::kShowHelp:
            show_help();
            std::exit(0);  // the help path ends at once, without shutting FreeImage down
        case ParseResult::kRefused:
            FreeImage_DeInitialise();
            return 1;
        case ParseResult::kMistyped:
            std::fputs("Usage: tarnic [options] <input1> <input2> ...  (tarnic -h lists the options)\n", stderr);
            FreeImage_DeInitialise();
            return 2;
        case ParseResult::kRun:
            break;
    }
    if (options.plan.kappa > 0 && !options.plan.rule->rejects) {
        std::fflush(stdout);
        std::fputs("-r does not apply to star trails (-t t): their light frames are stacked without rejection\n",
                   stderr);
    }
    if (!CheckTargets(options)) {
        FreeImage_DeInitialise();
        return 1;
    }
    const int status = Run(options);
    FreeImage_DeInitialise();
    return status;
}
