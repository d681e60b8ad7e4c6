#include "platform/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/error.h"

namespace sentrel {

namespace {
FileWriter realWriter;
FileWriter* currentWriter = &realWriter;

[[noreturn]] void ThrowPath(const std::string& call, const std::string& path) {
  int err = errno;
  throw SystemError(call + " " + path + ": " + std::strerror(err), call, err);
}
}  // namespace

void FileWriter::WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("write");
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

FileWriter& CurrentFileWriter() { return *currentWriter; }
void SetCurrentFileWriter(FileWriter* writer) { currentWriter = writer ? writer : &realWriter; }

std::string DirectoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (!name.empty() && name[0] == '/') return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

void WriteFileAtomic(const std::string& path, std::string_view content) {
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) ThrowPath("open", tmp);
  try {
    CurrentFileWriter().WriteAll(fd, content.data(), content.size());
    if (fsync(fd) < 0) ThrowPath("fsync", tmp);
  } catch (...) {
    close(fd);
    unlink(tmp.c_str());
    throw;
  }
  if (close(fd) < 0) {
    int err = errno;
    unlink(tmp.c_str());
    errno = err;
    ThrowPath("close", tmp);
  }
  // The new file keeps the old one's permissions: a server file the operator made
  // readable to himself only (it holds HTTP passwords) must not become readable to all.
  struct stat old{};
  if (stat(path.c_str(), &old) == 0) chmod(tmp.c_str(), old.st_mode & 07777);
  if (rename(tmp.c_str(), path.c_str()) < 0) {
    int err = errno;
    unlink(tmp.c_str());
    errno = err;
    ThrowPath("rename", path);
  }
  // Make the rename itself durable; a failure here leaves a complete file either way.
  int dfd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
}

void RemoveDeadTemporaries(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp";
  DIR* dir = opendir(DirectoryOf(path).c_str());
  if (!dir) return;
  std::vector<std::string> dead;
  while (dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
    std::string_view digits = name.substr(prefix.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
      continue;
    const pid_t pid = static_cast<pid_t>(std::stol(std::string(digits)));
    // EPERM: the process exists, it only belongs to someone else.
    if (pid <= 0 || pid == getpid() || kill(pid, 0) == 0 || errno != ESRCH) continue;
    dead.emplace_back(name);
  }
  closedir(dir);
  for (const std::string& name : dead) {
    const std::string leftover = JoinPath(DirectoryOf(path), name);
    struct stat st {};
    if (lstat(leftover.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(leftover.c_str());
  }
}

void WriteFileUnsynced(const std::string& path, std::string_view content) {
  const std::string temp = path + ".tmp" + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) ThrowPath("open", temp);
  try {
    CurrentFileWriter().WriteAll(fd, content.data(), content.size());
  } catch (...) {
    close(fd);
    unlink(temp.c_str());
    throw;
  }
  if (close(fd) < 0) {
    const int err = errno;
    unlink(temp.c_str());
    errno = err;
    ThrowPath("close", temp);
  }
  if (rename(temp.c_str(), path.c_str()) < 0) {
    const int err = errno;
    unlink(temp.c_str());
    errno = err;
    ThrowPath("rename", path);
  }
}

uint64_t AppendToFile(const std::string& path, std::string_view bytes) {
  // Without blocking: a FIFO in a log's place would otherwise hold the whole program in
  // open() until something reads it. Only a regular file takes records; a FIFO, a
  // device or a directory there is an error, never a hang.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) ThrowPath("open", path);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    throw SystemError("open " + path + ": not a regular file", "open", EINVAL);
  }
  const off_t before = lseek(fd, 0, SEEK_END);
  try {
    CurrentFileWriter().WriteAll(fd, bytes.data(), bytes.size());
  } catch (...) {
    // A line that did not fit (a full disk) is taken back whole: a torn line would
    // merge with the next record into one that no reader can split.
    if (before >= 0 && ftruncate(fd, before) != 0) {
      // Nothing more can be done here; the write error below is what gets reported.
    }
    close(fd);
    throw;
  }
  if (close(fd) < 0) ThrowPath("close", path);
  return before >= 0 ? static_cast<uint64_t>(before) + bytes.size() : 0;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  struct stat st{};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    out.reserve(static_cast<size_t>(st.st_size));
  else if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

std::string ReadWholeFileOrThrow(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) ThrowPath("open", path);
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd);
      errno = err;
      ThrowPath("read", path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

namespace {

// Opens path for reading without blocking and checks that it is a regular file.
int OpenRegular(const std::string& path, const std::string& what, struct stat* st) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    throw SystemError(what + " " + path + " cannot be opened: " + std::strerror(err), "open", err);
  }
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(fd);
    throw SystemError(what + " " + path + " is not a regular file", "open", EINVAL);
  }
  return fd;
}

std::string SizeText(size_t bytes) {
  return bytes % (1024 * 1024) == 0 ? std::to_string(bytes / (1024 * 1024)) + " MB"
                                    : std::to_string(bytes) + " bytes";
}

}  // namespace

std::string ReadActionFile(const std::string& path, const std::string& what, size_t maxBytes) {
  struct stat st {};
  const int fd = OpenRegular(path, what, &st);
  auto tooLarge = [&] {
    close(fd);
    return SystemError(what + " " + path + " is larger than " + SizeText(maxBytes), "read", EFBIG);
  };
  if (static_cast<uint64_t>(st.st_size) > maxBytes) throw tooLarge();
  std::string out;
  out.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      close(fd);
      throw SystemError(what + " " + path + " cannot be read: " + std::strerror(err), "read", err);
    }
    if (n == 0) break;
    // A file that grows while it is read counts with its new size.
    if (out.size() + static_cast<size_t>(n) > maxBytes) throw tooLarge();
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

void RejectSpecialFile(const std::string& path, const std::string& what) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw SystemError(what + " " + path + " is not a regular file", "open", EINVAL);
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void MakeDirectories(const std::string& path) {
  if (path.empty() || IsDirectory(path)) return;
  std::string parent = DirectoryOf(path);
  if (parent != path && parent != "." && parent != "/") MakeDirectories(parent);
  if (mkdir(path.c_str(), 0755) < 0 && errno != EEXIST) ThrowPath("mkdir", path);
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::string cwd(4096, '\0');
  if (!getcwd(cwd.data(), cwd.size())) return path;
  cwd.resize(std::strlen(cwd.c_str()));
  std::string_view rest = path;
  while (rest.substr(0, 2) == "./") rest.remove_prefix(2);
  return JoinPath(cwd, std::string(rest));
}

}  // namespace sentrel
