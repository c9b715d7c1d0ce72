// picture_folder.h - the names --png gives its pictures in their folder:
// which other output would take one of them, and which pictures there a
// run did not write (an earlier run's, of another recording perhaps).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace inspect {

using NumberTest = std::function<bool(uint64_t number)>;

// "picture-000042.png" for 42.
std::string PictureName(uint64_t number);
// The number in a name that PictureName gives, its letters in any case;
// false for any other name.
bool PictureNumber(const char* name, uint64_t& number);

// Whether two paths, of files that may not exist yet, name one file or
// folder: by identity where both exist, else by full path without regard
// to case, as Windows compares names.
bool NameSameFile(const std::string& a, const std::string& b);

// Whether `path` names a picture that --png writes into `folder` for a
// number `wanted` accepts: the picture's name in that folder, or an
// existing picture's file under another name.
bool IsPictureOf(const std::string& path, const std::string& folder, const NumberTest& wanted);

// The pictures in `folder` for which `written` is false.
struct OtherPictures {
    uint64_t count = 0;
    uint64_t first = 0;
    uint64_t last = 0;
};
OtherPictures FindOtherPictures(const std::string& folder, const NumberTest& written);

} // namespace inspect
