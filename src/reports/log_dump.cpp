#include "reports/log_dump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "reports/log_lines.h"

namespace sentrel {

namespace {

// The copy is written in blocks of this size; the kept lines of a block are contiguous
// in a date-ordered log, so this is one write per megabyte.
constexpr size_t kOutputBlock = 1 << 20;

[[noreturn]] void ThrowPathErrno(const std::string& call, const std::string& path) {
  int err = errno;
  throw SystemError(call + " " + path + ": " + std::strerror(err), call, err);
}

// The ".new" copy while it is being written. Until Commit has renamed it over the log,
// leaving the scope (an error on the way) closes and removes it.
class DumpCopy {
 public:
  DumpCopy(const std::string& path, const struct stat& logStat) : path_(path) {
    // An old copy goes first; creating anew never writes through whatever lies there.
    if (unlink(path.c_str()) < 0 && errno != ENOENT) ThrowPathErrno("unlink", path);
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) ThrowPathErrno("open", path);
    // The copy becomes the log: it keeps the log's mode, and its owner when we may set
    // it, so a program running as the log's owner can go on appending to it.
    if (geteuid() == 0) {
      // On a file system without owners the copy simply stays root's.
      [[maybe_unused]] int owned = fchown(fd_, logStat.st_uid, logStat.st_gid);
    }
    if (fchmod(fd_, logStat.st_mode & 07777) < 0) Fail("fchmod");
  }

  ~DumpCopy() {
    if (fd_ >= 0) close(fd_);
    if (!committed_) unlink(path_.c_str());
  }

  DumpCopy(const DumpCopy&) = delete;
  DumpCopy& operator=(const DumpCopy&) = delete;

  void Write(std::string_view bytes) {
    if (!bytes.empty()) CurrentFileWriter().WriteAll(fd_, bytes.data(), bytes.size());
  }

  // Makes the copy durable, then puts it in place of the log as one rename: a reader of
  // the log sees either the old file or the whole new one.
  void Commit(const std::string& logPath) {
    if (fsync(fd_) < 0) Fail("fsync");
    int fd = fd_;
    fd_ = -1;
    if (close(fd) < 0) ThrowPathErrno("close", path_);
    if (rename(path_.c_str(), logPath.c_str()) < 0) ThrowPathErrno("rename", logPath);
    committed_ = true;
    // The rename itself becomes durable with the directory; a failure here still leaves
    // one complete file under the log's name.
    int dfd = open(DirectoryOf(logPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      fsync(dfd);
      close(dfd);
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& call) { ThrowPathErrno(call, path_); }

  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace

std::string DumpCopyPath(const std::string& logPath) {
  size_t slash = logPath.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = logPath.rfind('.');
  if (dot != std::string::npos && dot >= nameStart) return logPath.substr(0, dot) + ".new";
  return logPath + ".new";
}

std::string DumpingLogText(const std::string& logfile) {
  return "Dumping Logile " + logfile;
}

DumpFileResult DumpLogFile(const std::string& logPath, const std::string& copyPath, int32_t days,
                           double now) {
  // A line stays when its day started strictly after this moment.
  const int64_t cutoffMs = DateTimeToMs(now) - static_cast<int64_t>(days) * kMsPerDay;

  LogLineReader reader(logPath);
  struct stat logStat {};
  if (fstat(reader.Descriptor(), &logStat) < 0) ThrowPathErrno("fstat", logPath);
  if (S_ISDIR(logStat.st_mode)) {
    errno = EISDIR;
    ThrowPathErrno("read", logPath);
  }

  DumpCopy copy(copyPath, logStat);
  DumpFileResult result;
  std::string out;
  out.reserve(kOutputBlock + 4096);
  LeadingLogWords words;
  DateWordCache dates;
  std::string_view line, raw;
  while (reader.Next(line, raw)) {
    words.Split(line, 1);
    int64_t day = 0;
    // A line without a date in front cannot be judged and stays.
    bool keep = words.Count() < 1 || !dates.Days(words[0], day) || day * kMsPerDay > cutoffMs;
    if (!keep) {
      ++result.droppedLines;
      continue;
    }
    ++result.keptLines;
    // Every kept line ends in CR LF; one that does already goes over byte for byte.
    if (raw.size() == line.size() + 2 && raw[raw.size() - 2] == '\r') {
      out.append(raw);
    } else {
      out.append(line);
      out.append("\r\n");
    }
    if (out.size() >= kOutputBlock) {
      copy.Write(out);
      out.clear();
    }
  }
  copy.Write(out);
  copy.Commit(logPath);
  return result;
}

void DumpLogs(const ServerList& servers, std::string_view daysAnswer,
              const std::function<void(const std::string&)>& progress,
              const std::function<void(const std::string&, const DumpFileResult&)>& done,
              const DumpFailed& failed) {
  const int32_t days = ParseDaysAnswer(daysAnswer);
  const double now = Now();

  std::set<std::string> logPaths;
  for (int i = 0; i < servers.Count(); ++i) logPaths.insert(servers.Items(i)->LogPath());

  for (int i = 0; i < servers.Count(); ++i) {
    const Server* server = servers.Items(i);
    if (progress) progress(DumpingLogText(server->LogFileName()));
    std::string logPath = server->LogPath();
    std::string copyPath = DumpCopyPath(logPath);
    while (logPaths.count(copyPath)) copyPath += ".new";
    DumpFileResult result;
    if (!failed) {
      result = DumpLogFile(logPath, copyPath, days, now);
    } else {
      try {
        result = DumpLogFile(logPath, copyPath, days, now);
      } catch (const SystemError& e) {
        // Only the log itself being absent is "no log"; a missing directory on the way
        // or a dangling link is a fault the operator should hear of.
        struct stat st {};
        if (e.Call() == "open" && e.Errno() == ENOENT && lstat(logPath.c_str(), &st) < 0 &&
            errno == ENOENT && IsDirectory(DirectoryOf(logPath))) {
          result.noLog = true;
        } else {
          failed(server->LogFileName(), e.what());
          continue;
        }
      } catch (const std::exception& e) {
        failed(server->LogFileName(), e.what());
        continue;
      }
    }
    if (done) done(server->LogFileName(), result);
  }
}

}  // namespace sentrel
