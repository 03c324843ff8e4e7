// Calibration frames are kept a folder a kind: a folder named for them
// stands for the image files in it.
#pragma once

#include <string>
#include <vector>

namespace quen_merge {

bool IsFolder(const std::string& path);

// The files in folder whose names say an image format tarnic reads (FITS
// included), hidden ones left out, in byte order of their names, each as
// folder/name.
std::vector<std::string> ImageFilesIn(const std::string& folder);

}  // namespace quen_merge
