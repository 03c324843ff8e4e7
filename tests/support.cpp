#include "support.h"

#include <FreeImage.h>
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "io/image_io.h"
#include "stars/align.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace test_support {

namespace {

// FreeImage stays initialised for the whole test program.
struct FreeImageSession {
    FreeImageSession() {
        FreeImage_Initialise(TRUE);
        FilterTiffMessages();
    }
    ~FreeImageSession() { FreeImage_DeInitialise(); }
};
const FreeImageSession free_image_session;

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::vector<double>> ReadTable(const std::string& path) {
    std::vector<std::vector<double>> rows;
    std::istringstream text(ReadFile(path));
    std::string line;
    while (std::getline(text, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::vector<double> row;
        for (double v; fields >> v;) row.push_back(v);
        rows.push_back(row);
    }
    return rows;
}

std::vector<CatalogueStar> ReadCatalogue(const std::string& path) {
    std::vector<CatalogueStar> stars;
    for (const auto& row : ReadTable(path)) stars.push_back({row[0], row[1], row[2]});
    return stars;
}

double NearestStar(const std::vector<CatalogueStar>& catalogue, double x, double y) {
    double best = 1e300;
    for (const CatalogueStar& s : catalogue) best = std::min(best, std::hypot(s.x - x, s.y - y));
    return best;
}

std::vector<std::array<double, 3>> ReadTransforms(const std::string& path) {
    std::vector<std::array<double, 3>> frames;
    for (const auto& row : ReadTable(path)) frames.push_back({row[1], row[2], row[3]});
    return frames;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

bool FileExists(const std::string& path) {
    struct stat s;
    return lstat(path.c_str(), &s) == 0;
}

size_t CountOf(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++count;
    return count;
}

TempDir::TempDir() : path([] {
    char name[] = "/tmp/tarnic-test-XXXXXX";
    return std::string(mkdtemp(name));
}()) {}

TempDir::~TempDir() {
    const std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

namespace {
// When the file was last changed, in nanoseconds; 0 when it is missing.
long long ChangedAt(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return 0;
    return (long long)info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
}
}  // namespace

std::string SharedData(const std::string& name, const std::function<void(const std::string& folder)>& make) {
    const std::string root = TEST_DATA_DIR;
    const std::string place = root + "/" + name + "-" + std::to_string(ChangedAt(STARFIELD_BIN)) + "-" +
                              std::to_string(ChangedAt(TARNIC_BIN));
    if (FileExists(place)) return place;
    mkdir(root.c_str(), 0755);
    std::string fresh = root + "/.making-XXXXXX";
    if (!mkdtemp(fresh.data())) {
        ADD_FAILURE() << "cannot make a folder in " << root;
        return place;
    }
    make(fresh);
    const bool made = !::testing::Test::HasFailure();
    if (!made || rename(fresh.c_str(), place.c_str()) != 0) {
        const std::string command = "rm -rf '" + fresh + "'";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", fresh.c_str());
    }
    return place;
}

CommandResult Run(const std::string& program, const std::vector<std::string>& args,
                  unsigned long file_size_limit, bool die_past_limit) {
    TempDir streams;
    const std::string out_path = streams / "out", err_path = streams / "err";
    CommandResult result;
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (file_size_limit != 0) {
            if (!die_past_limit) signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
            const rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            const rlimit limit{file_size_limit, file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.out = ReadFile(out_path);
    result.err = ReadFile(err_path);
    return result;
}

std::vector<quen_merge::StarRef> StarsOfFile(const std::string& path) {
    testing::internal::CaptureStdout();
    std::unique_ptr<quen_merge::ImageData> frame(quen_merge::LoadImageData(path.c_str()));
    std::vector<quen_merge::StarRef> stars;
    if (frame) quen_merge::FindStars(frame->Image(), stars);
    testing::internal::GetCapturedStdout();
    return stars;
}

std::string Sha256(const std::string& path) {
    const CommandResult r = Run("/usr/bin/sha256sum", {path});
    return r.status == 0 ? r.out.substr(0, 64) : "";
}

CommandResult RunTarnicOnTerminal(const std::vector<std::string>& args, bool out_too) {
    TempDir streams;
    const std::string out_path = streams / "out";
    int terminal = -1, screen = -1;
    CommandResult result;
    if (openpty(&terminal, &screen, nullptr, nullptr, nullptr) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        close(terminal);
        setsid();
        const int out = out_too ? screen : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out, 1);
        dup2(screen, 2);
        std::vector<char*> argv{const_cast<char*>(TARNIC_BIN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(TARNIC_BIN, argv.data());
        _exit(127);
    }
    close(screen);
    // Read the screen as it fills, until the program's side is closed.
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);)
        if (n > 0) result.err.append(buffer, size_t(n));
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (!out_too) result.out = ReadFile(out_path);
    return result;
}

CommandResult RunTarnic(const std::vector<std::string>& args, unsigned long file_size_limit, bool die_past_limit) {
    return Run(TARNIC_BIN, args, file_size_limit, die_past_limit);
}

void RunStarfield(const std::vector<std::string>& args) {
    const CommandResult r = Run(STARFIELD_BIN, args);
    ASSERT_EQ(r.status, 0) << r.err;
}

Rgb16 MakeRgb16(unsigned width, unsigned height, uint16_t value) {
    Rgb16 p;
    p.width = width;
    p.height = height;
    p.samples.assign(size_t(width) * height * 3, value);
    return p;
}

void WriteRgb16(const std::string& path, const Rgb16& picture) {
    FIBITMAP* bitmap = FreeImage_AllocateT(FIT_RGB16, picture.width, picture.height);
    ASSERT_NE(bitmap, nullptr);
    for (unsigned y = 0; y < picture.height; ++y) {
        FIRGB16* line = reinterpret_cast<FIRGB16*>(FreeImage_GetScanLine(bitmap, picture.height - 1 - y));
        for (unsigned x = 0; x < picture.width; ++x) {
            line[x].red = picture.at(x, y, 0);
            line[x].green = picture.at(x, y, 1);
            line[x].blue = picture.at(x, y, 2);
        }
    }
    const FREE_IMAGE_FORMAT format = FreeImage_GetFIFFromFilename(path.c_str());
    const bool saved = FreeImage_Save(format, bitmap, path.c_str(), 0);
    FreeImage_Unload(bitmap);
    ASSERT_TRUE(saved) << path;
}

namespace {

void Put16(std::string& s, uint16_t v) {
    s.push_back(char(v & 255));
    s.push_back(char(v >> 8));
}
void Put32(std::string& s, uint32_t v) {
    Put16(s, uint16_t(v & 0xffff));
    Put16(s, uint16_t(v >> 16));
}
void PutEntry(std::string& s, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Put16(s, tag);
    Put16(s, type);
    Put32(s, count);
    Put32(s, value);
}

// A little-endian EXIF block: IFD0 pointing at an EXIF IFD with the three
// exposure tags, the two rationals stored after it.
std::string ExposureExif(uint32_t t_num, uint32_t t_den, uint32_t f_num, uint32_t f_den,
                         uint16_t iso) {
    constexpr uint16_t kLong = 4, kRational = 5, kShort = 3;
    std::string tiff("II*\0", 4);
    Put32(tiff, 8);
    Put16(tiff, 1);
    PutEntry(tiff, 0x8769, kLong, 1, 26);  // EXIF IFD at offset 26
    Put32(tiff, 0);
    Put16(tiff, 3);
    PutEntry(tiff, 0x829A, kRational, 1, 68);
    PutEntry(tiff, 0x829D, kRational, 1, 76);
    PutEntry(tiff, 0x8827, kShort, 1, iso);
    Put32(tiff, 0);
    for (uint32_t v : {t_num, t_den, f_num, f_den}) Put32(tiff, v);
    return std::string("Exif\0\0", 6) + tiff;
}

}  // namespace

void WriteJpegWithExposure(const std::string& path, uint32_t t_num, uint32_t t_den,
                           uint32_t f_num, uint32_t f_den, uint16_t iso) {
    const std::string raw = ExposureExif(t_num, t_den, f_num, f_den, iso);
    FIBITMAP* bitmap = FreeImage_Allocate(8, 8, 24);
    ASSERT_NE(bitmap, nullptr);
    FITAG* tag = FreeImage_CreateTag();
    FreeImage_SetTagKey(tag, "ExifRaw");
    FreeImage_SetTagType(tag, FIDT_BYTE);
    FreeImage_SetTagCount(tag, DWORD(raw.size()));
    FreeImage_SetTagLength(tag, DWORD(raw.size()));
    FreeImage_SetTagValue(tag, raw.data());
    FreeImage_SetMetadata(FIMD_EXIF_RAW, bitmap, "ExifRaw", tag);
    FreeImage_DeleteTag(tag);
    const bool saved = FreeImage_Save(FIF_JPEG, bitmap, path.c_str(), 0);
    FreeImage_Unload(bitmap);
    ASSERT_TRUE(saved) << path;
}

std::unique_ptr<quen_merge::ImageData> LoadQuietly(const std::string& path) {
    testing::internal::CaptureStdout();
    std::unique_ptr<quen_merge::ImageData> frame(quen_merge::LoadImageData(path.c_str()));
    testing::internal::GetCapturedStdout();
    return frame;
}

Rgb16 ReadRgb16(const std::string& path) {
    Rgb16 p;
    const FREE_IMAGE_FORMAT format = FreeImage_GetFileType(path.c_str(), 0);
    if (format == FIF_UNKNOWN) return p;
    FIBITMAP* loaded = FreeImage_Load(format, path.c_str(), 0);
    if (!loaded) return p;
    FIBITMAP* rgb = FreeImage_ConvertToRGB16(loaded);
    FreeImage_Unload(loaded);
    if (!rgb) return p;
    p.width = FreeImage_GetWidth(rgb);
    p.height = FreeImage_GetHeight(rgb);
    p.samples.resize(size_t(p.width) * p.height * 3);
    for (unsigned y = 0; y < p.height; ++y) {
        const FIRGB16* line = reinterpret_cast<const FIRGB16*>(FreeImage_GetScanLine(rgb, p.height - 1 - y));
        for (unsigned x = 0; x < p.width; ++x) {
            p.at(x, y, 0) = line[x].red;
            p.at(x, y, 1) = line[x].green;
            p.at(x, y, 2) = line[x].blue;
        }
    }
    FreeImage_Unload(rgb);
    return p;
}

std::string RealDataDir(const std::string& set) {
    const std::string dir = std::string(REAL_DATA_DIR) + "/" + set;
    struct stat s;
    return stat(dir.c_str(), &s) == 0 && S_ISDIR(s.st_mode) ? dir : "";
}

std::vector<std::string> ListFiles(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            if (name.size() >= suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                files.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> StackTest::WriteFrames(const std::string& stem, const std::vector<Rgb16>& frames,
                                               const std::string& ext) {
    std::vector<std::string> paths;
    for (size_t k = 0; k < frames.size(); ++k) {
        paths.push_back(dir / (stem + std::to_string(k) + ext));
        WriteRgb16(paths.back(), frames[k]);
    }
    return paths;
}

CommandResult StackTest::Stack(std::vector<std::string> options, const std::vector<std::string>& inputs) {
    options.insert(options.end(), inputs.begin(), inputs.end());
    return RunTarnic(options);
}

}  // namespace test_support
