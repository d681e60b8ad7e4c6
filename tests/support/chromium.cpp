#include "support/chromium.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace sentrel::test {

std::string FindChromium() {
  const char* path = std::getenv("PATH");
  std::string dirs = std::string(path ? path : "") + ":/usr/bin";
  size_t start = 0;
  while (start < dirs.size()) {
    size_t colon = dirs.find(':', start);
    if (colon == std::string::npos) colon = dirs.size();
    std::string candidate = dirs.substr(start, colon - start) + "/chromium";
    if (colon > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = colon + 1;
  }
  return "";
}

std::string ChromiumDumpDom(const std::string& chromium, const std::string& url,
                            const std::string& workDir, int timeoutMs) {
  static int runs = 0;
  const std::string profile = workDir + "/chromium-profile-" + std::to_string(++runs);
  const std::string outPath = workDir + "/chromium-" + std::to_string(runs) + ".out";
  std::vector<std::string> argv{chromium,
                                "--headless",
                                "--no-sandbox",
                                "--disable-gpu",
                                "--disable-background-networking",
                                "--disable-component-update",
                                "--no-first-run",
                                "--disable-sync",
                                "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                                "--no-proxy-server",
                                "--disable-domain-reliability",
                                "--metrics-recording-only",
                                "--user-data-dir=" + profile,
                                "--dump-dom",
                                url};

  // Everything the child needs is made before the fork: the test may run threads.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) return "";
  if (pid == 0) {
    setpgid(0, 0);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open("/dev/null", O_WRONLY);  // complaints about the missing D-Bus
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);

  int status = 0;
  bool ended = false;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!ended && std::chrono::steady_clock::now() < end) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The browser's helpers go with it, whether it finished or not.
  kill(-pid, SIGKILL);
  if (!ended) waitpid(pid, &status, 0);
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return "";

  std::string all = ReadFile(outPath);
  size_t start = all.find("<html>");
  size_t stop = all.rfind("</html>");
  if (start == std::string::npos || stop == std::string::npos) return "";
  return all.substr(start, stop + 7 - start);
}

}  // namespace sentrel::test
