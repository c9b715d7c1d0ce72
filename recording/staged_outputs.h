// staged_outputs.h - the files a run writes, all or nothing. Each output is
// written under a temporary name in the folder of its real name; only once
// every one is complete do they all take their real names, and a file they
// replace is kept under a temporary name until every new one is in place,
// so that a failure part-way can put it back. A run that fails or is
// stopped leaves every file as it was and no temporary file behind.
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
        Failed,  // `error` says why; every file is as it was
        Stopped, // `stop` asked for it; every file is as it was
    };
    // Moves every output to its real name, in the order they were added.
    // `stop` is asked before each move. On a failure or a stop, what was
    // replaced is put back and the new files are removed; a file that
    // cannot be put back is named in `error` with where its content is.
    Outcome Commit(std::string& error, const std::function<bool()>& stop = nullptr);
    // Deletes every temporary file not yet moved.
    void Discard();

private:
    struct File {
        size_t folder;      // in m_folders
        std::string name;   // in that folder
        DWORD temp;         // the temporary file's number
        DWORD kept = 0;     // the replaced file's temporary number, 0 if none
        bool placed = false;
    };

    std::string FinalPath(const File& file) const { return m_folders[file.folder] + file.name; }
    std::string TempPath(const File& file, DWORD number) const;
    size_t FolderIndex(const std::string& folder);
    void PutBack(size_t count, std::string& error);

    std::vector<std::string> m_folders; // full paths, with a trailing backslash
    std::vector<File> m_files;
};

// Writes `count` bytes as the whole content of the existing file `path`,
// then flushes them to the disk; FALSE with GetLastError.
BOOL WriteFlushedFile(const std::string& path, const void* bytes, size_t count);

} // namespace inspect
