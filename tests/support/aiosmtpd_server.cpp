#include "support/aiosmtpd_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/file_util.h"
#include "platform/process.h"
#include "support/test_env.h"

namespace sentrel::test {

namespace {
constexpr const char* kScript = R"PY(
import asyncio, sys
from aiosmtpd.smtp import SMTP

mail_file, port_file = sys.argv[1], sys.argv[2]

class Keep:
    async def handle_DATA(self, server, session, envelope):
        with open(mail_file, 'ab') as f:
            f.write(b'FROM ' + envelope.mail_from.encode() + b'\n')
            for r in envelope.rcpt_tos:
                f.write(b'RCPT ' + r.encode() + b'\n')
            f.write(envelope.original_content)
            f.write(b'.END\n')
        return '250 Message accepted for delivery'

async def main():
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: SMTP(Keep()), '127.0.0.1', 0)
    with open(port_file + '.tmp', 'w') as f:
        f.write(str(server.sockets[0].getsockname()[1]))
    import os
    os.rename(port_file + '.tmp', port_file)
    await server.serve_forever()

asyncio.run(main())
)PY";
}  // namespace

AiosmtpdServer::AiosmtpdServer(const std::string& dir) : mailFile_(dir + "/received.txt") {
  const std::string python = "/usr/bin/python3";
  if (!IsExecutableFile(python)) {
    error_ = "no /usr/bin/python3";
    return;
  }
  std::string script = dir + "/smtp_server.py";
  std::string portFile = dir + "/smtp_port";
  WriteFile(script, kScript);
  SpawnRequest r;
  r.argv = {python, script, mailFile_, portFile};
  pid_ = Spawn(r);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    if (auto text = ReadWholeFile(portFile)) {
      port_ = static_cast<uint16_t>(std::stoi(*text));
      return;
    }
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "the server ended at once (is python3-aiosmtpd installed?)";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error_ = "the server did not start within 20 seconds";
}

AiosmtpdServer::~AiosmtpdServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
  }
}

std::string AiosmtpdServer::Mails() const {
  return ReadWholeFile(mailFile_).value_or("");
}

}  // namespace sentrel::test
