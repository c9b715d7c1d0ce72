// staged_outputs.h - the files a run writes, all or nothing. Each output is
// written under a temporary name in the folder of its real name; only once
// every one is complete do they all take their real names. Each takes its
// name in one step that replaces the file there, so a name never goes
// missing, even if the process is killed; the file it replaces keeps a
// second, temporary name until every new one is in place, so that a
// failure part-way can put it back. A run that fails or is stopped leaves
// every file as it was and no temporary file behind.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace inspect {

class StagedOutputs {
public:
    StagedOutputs() = default;
    // Removes the temporary files of a set that was not committed.
    ~StagedOutputs() { Discard(); }
    StagedOutputs(const StagedOutputs&) = delete;
    StagedOutputs& operator=(const StagedOutputs&) = delete;

    // Creates an empty temporary file in the folder of `finalPath`, for the
    // output that is to take that name; its path in `tempPath`. Refuses a
    // final path that is a folder or a read-only file, as replacing it
    // would fail at the end. FALSE with GetLastError.
    BOOL Add(const std::string& finalPath, std::string& tempPath);
    size_t Count() const { return m_files.size(); }

    enum class Outcome {
        Done,    // every output has its real name
        Failed,  // `error` says why; every file is as it was but `notPutBack`
        Stopped, // `stop` asked for it; every file is as it was but `notPutBack`
    };
    // Moves every output to its real name, in the order they were added:
    // the file there, if any, is kept under a second name, then the new
    // one takes the name. `stop` is asked before each of these steps. On a
    // failure or a stop, what was replaced is put back and the new files
    // are removed; `notPutBack` names each name that still holds its new
    // file and where the old one is. `error` also tells a replaced file
    // left under its temporary name once all are in place.
    Outcome Commit(std::string& error, std::string& notPutBack, const std::function<bool()>& stop = nullptr);
    // Deletes every temporary file not yet moved.
    void Discard();

private:
    struct File {
        size_t folder;      // in m_folders
        std::string name;   // in that folder
        DWORD temp;         // the new file's temporary number, 0 once it has its name
        DWORD kept = 0;     // the second name of the file it replaces, 0 if none
        bool placed = false;
    };

    std::string FinalPath(const File& file) const { return m_folders[file.folder] + file.name; }
    std::string TempPath(const File& file, DWORD number) const;
    size_t FolderIndex(const std::string& folder);
    BOOL KeepOld(File& file);
    DWORD TakeName(File& file, const std::function<bool()>& stop, bool& stopped, const char*& what);
    void PutBack(size_t count, std::string& notPutBack);

    std::vector<std::string> m_folders; // full paths, with a trailing backslash
    std::vector<File> m_files;
};

// Writes `count` bytes as the whole content of the existing file `path`,
// then flushes them to the disk; FALSE with GetLastError.
BOOL WriteFlushedFile(const std::string& path, const void* bytes, size_t count);

} // namespace inspect
