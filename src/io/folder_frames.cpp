#include "io/folder_frames.h"

#include <FreeImage.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "io/fits_io.h"

namespace quen_merge {

bool IsFolder(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

std::vector<std::string> ImageFilesIn(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.' || !entry.is_regular_file(error)) continue;
        const std::string path = (std::filesystem::path(folder) / name).string();
        if (FreeImage_GetFIFFromFilename(name.c_str()) != FIF_UNKNOWN || IsFitsName(name.c_str()))
            files.push_back(path);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace quen_merge
