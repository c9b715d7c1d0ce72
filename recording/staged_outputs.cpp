#include "recording/staged_outputs.h"

#include "device/win_handle.h"
#include "recording/picture_files.h"

namespace inspect {

namespace {

// Temporary files are named ori<process>-<number>.tmp, numbered through
// the run in every folder, so their names need not be kept in full.
DWORD NextNumber()
{
    static DWORD next = 0;
    return ++next;
}

bool IsTaken(DWORD error)
{
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// A copy of `from` at the new name `to`, on the disk before it is relied on.
BOOL CopyFlushed(const std::string& from, const std::string& to)
{
    if (!CopyFileA(from.c_str(), to.c_str(), TRUE))
        return FALSE;
    DWORD error = ERROR_SUCCESS;
    {
        const CFileHandle copy(
            CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!copy.IsValid() || !FlushFileBuffers(copy.Get()))
            error = GetLastError();
    }
    if (error == ERROR_SUCCESS)
        return TRUE;
    DeleteFileA(to.c_str());
    SetLastError(error);
    return FALSE;
}

// A folder or a read-only file at `path` cannot be replaced by a file.
bool CannotBeReplaced(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0;
}

// Why the file at `path` cannot be replaced: a folder or a read-only file,
// or one that another program holds open without leave to delete it (the
// second name it would be kept under could not be removed either).
DWORD WhyNotReplaceable(const std::string& path)
{
    if (CannotBeReplaced(path))
        return ERROR_ACCESS_DENIED;
    const CFileHandle file(CreateFileA(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = file.IsValid() ? ERROR_SUCCESS : GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

} // namespace

std::string StagedOutputs::TempPath(const File& file, DWORD number) const
{
    char name[40];
    wsprintfA(name, "ori%lx-%lx.tmp", GetCurrentProcessId(), number);
    return m_folders[file.folder] + name;
}

size_t StagedOutputs::FolderIndex(const std::string& folder)
{
    for (size_t i = m_folders.size(); i-- > 0;) // the latest is the likeliest
        if (m_folders[i] == folder)
            return i;
    m_folders.push_back(folder);
    return m_folders.size() - 1;
}

BOOL StagedOutputs::Add(const std::string& finalPath, std::string& tempPath)
{
    char full[MAX_PATH];
    char* name = nullptr;
    const DWORD length = GetFullPathNameA(finalPath.c_str(), MAX_PATH, full, &name);
    if (length == 0 || length >= MAX_PATH || name == nullptr || *name == '\0') {
        SetLastError(length == 0 ? GetLastError() : ERROR_INVALID_NAME);
        return FALSE;
    }
    if (CannotBeReplaced(full)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    File file;
    file.folder = FolderIndex(std::string(full, name));
    file.name = name;
    for (;;) {
        file.temp = NextNumber();
        tempPath = TempPath(file, file.temp);
        const HANDLE created =
            CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created != INVALID_HANDLE_VALUE) {
            CloseHandle(created);
            break;
        }
        if (!IsTaken(GetLastError())) // left by an earlier process of the same number
            return FALSE;
    }
    m_files.push_back(std::move(file));
    return TRUE;
}

// The file at the output's name, if any, gets a second name that keeps it
// while the new file takes the name and until every output is in place: a
// hard link, or where the file system has none (FAT), a flushed copy.
BOOL StagedOutputs::KeepOld(File& file)
{
    const std::string finalPath = FinalPath(file);
    for (;;) {
        const DWORD number = NextNumber();
        const std::string kept = TempPath(file, number);
        if (CreateHardLinkA(kept.c_str(), finalPath.c_str(), nullptr) || CopyFlushed(finalPath, kept)) {
            file.kept = number;
            return TRUE;
        }
        const DWORD reason = GetLastError();
        if (reason == ERROR_FILE_NOT_FOUND) // nothing to keep
            return TRUE;
        if (!IsTaken(reason))
            return FALSE;
    }
}

// The steps that give one output its name. ERROR_SUCCESS once it has it,
// or when `stop` asked to stop before a step (`stopped`); otherwise why
// not, and in `what` the step that failed.
DWORD StagedOutputs::TakeName(File& file, const std::function<bool()>& stop, bool& stopped, const char*& what)
{
    const std::string finalPath = FinalPath(file);
    what = "cannot write ";
    if ((stopped = stop && stop()))
        return ERROR_SUCCESS;
    const DWORD held = WhyNotReplaceable(finalPath);
    if (held != ERROR_SUCCESS) {
        what = "cannot replace ";
        return held;
    }
    if (!KeepOld(file)) {
        what = "cannot keep the file it would replace, ";
        return GetLastError();
    }
    if ((stopped = stop && stop()))
        return ERROR_SUCCESS;
    // One step from the old file to the new one: the name is never missing.
    // Without an old file, one that appears meanwhile is not replaced unkept.
    const DWORD replace = file.kept ? MOVEFILE_REPLACE_EXISTING : 0;
    if (!MoveFileExA(TempPath(file, file.temp).c_str(), finalPath.c_str(), replace | MOVEFILE_WRITE_THROUGH)) {
        what = file.kept ? "cannot replace " : "cannot write ";
        return GetLastError();
    }
    file.placed = true;
    file.temp = 0;
    return ERROR_SUCCESS;
}

StagedOutputs::Outcome StagedOutputs::Commit(std::string& error, std::string& notPutBack,
                                             const std::function<bool()>& stop)
{
    error.clear();
    notPutBack.clear();
    for (size_t i = 0; i < m_files.size(); ++i) {
        bool stopped = false;
        const char* what = "";
        const DWORD failure = TakeName(m_files[i], stop, stopped, what);
        if (!stopped && failure == ERROR_SUCCESS)
            continue;
        if (!stopped)
            error = what + FinalPath(m_files[i]) + ": " + ErrorText(failure);
        PutBack(i + 1, notPutBack);
        Discard();
        return stopped ? Outcome::Stopped : Outcome::Failed;
    }
    for (File& file : m_files) {
        if (file.kept && !DeleteFileA(TempPath(file, file.kept).c_str()))
            error += (error.empty() ? "" : "; ") + std::string("cannot remove ") + TempPath(file, file.kept) +
                     ", the file " + FinalPath(file) + " replaced: " + ErrorText(GetLastError());
        file.kept = 0;
    }
    return Outcome::Done;
}

// The first `count` files, last first: each new file in place gives its
// name back to the file it replaced, in one step, or is removed if there
// was none; a second name kept for a file not yet replaced is removed.
void StagedOutputs::PutBack(size_t count, std::string& notPutBack)
{
    for (size_t i = count; i-- > 0;) {
        File& file = m_files[i];
        const std::string finalPath = FinalPath(file);
        const std::string kept = file.kept ? TempPath(file, file.kept) : std::string();
        if (!file.placed) {
            if (file.kept)
                DeleteFileA(kept.c_str());
            file.kept = 0;
            continue;
        }
        if (file.kept ? MoveFileExA(kept.c_str(), finalPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                      : DeleteFileA(finalPath.c_str())) {
            file.kept = 0;
            file.placed = false;
            continue;
        }
        const std::string reason = ErrorText(GetLastError());
        notPutBack += (notPutBack.empty() ? "" : "; ") + finalPath + " holds the new file (" + reason + "), " +
                      (file.kept ? "the old one is " + kept : "where there was none");
    }
}

void StagedOutputs::Discard()
{
    const DWORD error = GetLastError();
    for (File& file : m_files) {
        if (file.temp)
            DeleteFileA(TempPath(file, file.temp).c_str());
        file.temp = 0;
    }
    SetLastError(error);
}

BOOL WriteFlushedFile(const std::string& path, const void* bytes, size_t count)
{
    const HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr);
    if (ok && written != count) {
        SetLastError(ERROR_DISK_FULL);
        ok = FALSE;
    }
    ok = ok && FlushFileBuffers(file);
    const DWORD error = GetLastError();
    const BOOL closed = CloseHandle(file);
    if (!ok)
        SetLastError(error);
    return ok && closed;
}

} // namespace inspect
