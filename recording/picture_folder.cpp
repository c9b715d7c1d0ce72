#include "recording/picture_folder.h"

#include <windows.h>

#include <cinttypes>
#include <cstdio>

#include "recording/capture_file.h"

namespace inspect {

namespace {

constexpr size_t MAX_NUMBER_DIGITS = 20;

// Calls `visit` with the number of each picture in `folder` and its path.
void ForEachPicture(const std::string& folder, const std::function<void(uint64_t, const std::string&)>& visit)
{
    const std::string prefix = folder.empty() || folder.back() == '\\' ? folder : folder + "\\";
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((prefix + "picture-*.png").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        uint64_t number = 0;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && PictureNumber(found.cFileName, number))
            visit(number, prefix + found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// The full path, without the backslash that may end a folder's (but a
// drive's root); empty if there is none.
std::string FullPath(const std::string& path)
{
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    std::string text(full, length);
    if (text.size() > 3 && text.back() == '\\')
        text.pop_back();
    return text;
}

} // namespace

std::string PictureName(uint64_t number)
{
    char name[40];
    std::snprintf(name, sizeof(name), "picture-%06" PRIu64 ".png", number);
    return name;
}

bool PictureNumber(const char* name, uint64_t& number)
{
    const char* digits = name + 8; // after "picture-"
    if (lstrlenA(name) < 8)
        return false;
    number = 0;
    size_t count = 0;
    for (; digits[count] >= '0' && digits[count] <= '9'; ++count) {
        if (count == MAX_NUMBER_DIGITS)
            return false;
        number = number * 10 + static_cast<uint64_t>(digits[count] - '0');
    }
    return count > 0 && lstrcmpiA(name, PictureName(number).c_str()) == 0;
}

bool NameSameFile(const std::string& a, const std::string& b)
{
    FileIdentity identityA, identityB;
    if (IdentifyPath(a, identityA) && IdentifyPath(b, identityB))
        return identityA == identityB;
    const std::string fullA = FullPath(a), fullB = FullPath(b);
    return !fullA.empty() && !fullB.empty() &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, fullA.c_str(), -1, fullB.c_str(), -1) == CSTR_EQUAL;
}

bool IsPictureOf(const std::string& path, const std::string& folder, const NumberTest& wanted)
{
    char full[MAX_PATH];
    char* name = nullptr;
    const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, &name);
    uint64_t number = 0;
    if (length && length < MAX_PATH && name && PictureNumber(name, number) && wanted(number) &&
        NameSameFile(std::string(full, name), folder))
        return true;
    FileIdentity file;
    if (!IdentifyPath(path, file))
        return false;
    bool same = false;
    ForEachPicture(folder, [&](uint64_t picture, const std::string& picturePath) {
        FileIdentity identity;
        same = same || (wanted(picture) && IdentifyPath(picturePath, identity) && identity == file);
    });
    return same;
}

OtherPictures FindOtherPictures(const std::string& folder, const NumberTest& written)
{
    OtherPictures others;
    ForEachPicture(folder, [&](uint64_t number, const std::string&) {
        if (written(number))
            return;
        others.first = others.count == 0 || number < others.first ? number : others.first;
        others.last = others.count == 0 || number > others.last ? number : others.last;
        ++others.count;
    });
    return others;
}

} // namespace inspect
