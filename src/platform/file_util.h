#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sentrel {

// The most an action's file may hold.
inline constexpr size_t kActionFileMax = 1024 * 1024;

// Writes go through a FileWriter so tests can inject a writer that fails after N bytes
// (the disk-full case), which file modes cannot provoke for root.
class FileWriter {
 public:
  virtual ~FileWriter() = default;
  // Writes all bytes or throws SystemError.
  virtual void WriteAll(int fd, const char* data, size_t size);
};

FileWriter& CurrentFileWriter();
void SetCurrentFileWriter(FileWriter* writer);  // nullptr restores the real one

// Replaces the file at path with content as one step: a temporary file beside it is
// written completely and synced, then renamed over the path, and the directory is synced.
// On any failure the old file is untouched, the temporary is removed, and SystemError is
// thrown. The new file takes the permissions of the file it replaces.
void WriteFileAtomic(const std::string& path, std::string_view content);
// Removes the temporary files ("NAME.tmpPID") that WriteFileAtomic of this path left
// behind in a process that died during the write (a crash, a kill). A file whose process
// still runs (or whose number a running process carries now) is left alone: it may be
// a save under way.
void RemoveDeadTemporaries(const std::string& path);

// Replaces the file at path with content through a temporary file beside it, renamed over
// the path, without waiting for the disk: for files that can be made again from others
// (a cache). A reader sees the old file or the new one, never a part; after a power loss
// the file may be empty, which such a reader must take as "make it again". Throws
// SystemError; the temporary is removed on failure.
void WriteFileUnsynced(const std::string& path, std::string_view content);

// Opens path for appending (creating it), writes the bytes, closes. Throws on failure.
// Returns the file's size right after the bytes: the offset just past them.
uint64_t AppendToFile(const std::string& path, std::string_view bytes);

// Reads a whole file; nothing when it does not exist or cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);
// Reads a whole file, throwing SystemError when it cannot be opened or read.
std::string ReadWholeFileOrThrow(const std::string& path);

// Reads a file an action works from (a mail template, a serial script), which must be a
// regular file of at most maxBytes. It is opened without blocking, so a FIFO or a device
// in its place never holds the program, and never read past the cap, so /dev/zero never
// floods it. Throws SentrelError naming the file as `what` ("Mail template") otherwise.
std::string ReadActionFile(const std::string& path, const std::string& what,
                           size_t maxBytes = kActionFileMax);
// Throws the same error when path names something other than a regular file (a FIFO,
// a device, a directory); a missing file is left for its reader to report. For files
// that a program started by an action reads (a sound for its player).
void RejectSpecialFile(const std::string& path, const std::string& what);

bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Creates the directory and its parents; throws on failure.
void MakeDirectories(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);
std::string DirectoryOf(const std::string& path);
// The path from the root: a relative one is taken from the current directory.
std::string AbsolutePath(const std::string& path);

}  // namespace sentrel
