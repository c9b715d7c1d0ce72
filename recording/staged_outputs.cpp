#include "recording/staged_outputs.h"

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

// A folder or a read-only file at `path` cannot be replaced by a file.
bool CannotBeReplaced(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0;
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

StagedOutputs::Outcome StagedOutputs::Commit(std::string& error, const std::function<bool()>& stop)
{
    error.clear();
    for (size_t i = 0; i < m_files.size(); ++i) {
        if (stop && stop()) {
            PutBack(i, error);
            Discard();
            return Outcome::Stopped;
        }
        File& file = m_files[i];
        const std::string finalPath = FinalPath(file);
        DWORD failure = ERROR_SUCCESS;
        std::string what = "cannot write ";
        if (CannotBeReplaced(finalPath)) {
            failure = ERROR_ACCESS_DENIED;
        } else {
            // The file there, if any, is kept aside until every new one is in place.
            for (;;) {
                const DWORD number = NextNumber();
                if (MoveFileExA(finalPath.c_str(), TempPath(file, number).c_str(), 0)) {
                    file.kept = number;
                    break;
                }
                const DWORD reason = GetLastError();
                if (reason == ERROR_FILE_NOT_FOUND)
                    break;
                if (!IsTaken(reason)) {
                    failure = reason;
                    what = "cannot replace ";
                    break;
                }
            }
            if (failure == ERROR_SUCCESS) {
                if (MoveFileExA(TempPath(file, file.temp).c_str(), finalPath.c_str(), MOVEFILE_WRITE_THROUGH)) {
                    file.placed = true;
                    file.temp = 0;
                } else {
                    failure = GetLastError();
                }
            }
        }
        if (failure != ERROR_SUCCESS) {
            error = what + finalPath + ": " + ErrorText(failure);
            PutBack(i + 1, error);
            Discard();
            return Outcome::Failed;
        }
    }
    for (File& file : m_files) {
        if (file.kept && !DeleteFileA(TempPath(file, file.kept).c_str()))
            error += (error.empty() ? "" : "; ") + std::string("cannot remove ") + TempPath(file, file.kept) +
                     ", the file " + FinalPath(file) + " replaced: " + ErrorText(GetLastError());
        file.kept = 0;
    }
    return Outcome::Done;
}

// The first `count` files, last first: each new file in place is removed
// and the file it replaced takes its name back.
void StagedOutputs::PutBack(size_t count, std::string& error)
{
    auto note = [&error](const std::string& text) { error += (error.empty() ? "" : "; ") + text; };
    for (size_t i = count; i-- > 0;) {
        File& file = m_files[i];
        const std::string finalPath = FinalPath(file);
        if (file.kept) {
            const std::string kept = TempPath(file, file.kept);
            if (MoveFileExA(kept.c_str(), finalPath.c_str(), file.placed ? MOVEFILE_REPLACE_EXISTING : 0))
                file.kept = 0;
            else
                note("cannot put back " + finalPath + " (" + ErrorText(GetLastError()) + "); it is now " + kept);
        } else if (file.placed && !DeleteFileA(finalPath.c_str())) {
            note("cannot remove the new " + finalPath + ": " + ErrorText(GetLastError()));
        }
        file.placed = false;
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
