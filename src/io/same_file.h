// Whether two names reach one file, so that a result never overwrites the
// frames it is made of.
#pragma once

#include <string>

namespace quen_merge {

// True when both names exist and are one file: the same device and inode,
// however reached (another path, a hard or symbolic link).
bool IsSameFile(const std::string& a, const std::string& b);

}  // namespace quen_merge
