// The files that actions read are taken only as regular files of at most a megabyte: a
// FIFO, a device, a directory or a huge file in a template's or a script's place fails
// that action at once with a clear message, never a hang or a flood.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "events/event_list.h"
#include "events/mail_action.h"
#include "events/serial_action.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

class ActionFilesTest : public CoreFixture {
 protected:
  template <class Run>
  std::string Failure(Run run) {
    try {
      run();
    } catch (const SentrelError& e) {
      return e.what();
    }
    return "no failure";
  }
};

TEST_F(ActionFilesTest, OnlyRegularFilesOfAtMostAMegabyte) {
  CurrentDirectory cwd(dir_->Path());
  const std::string fifo = dir_->File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string big = dir_->File("big.txt");
  WriteFile(big, std::string(kActionFileMax + 1, 'x'));
  const std::string fits = dir_->File("fits.txt");
  WriteFile(fits, std::string(kActionFileMax, 'x'));
  MakeDirectories(dir_->File("folder"));
  struct Case {
    std::string path;
    std::string says;
  };
  for (const Case& c :
       {Case{fifo, " is not a regular file"}, Case{"/dev/zero", " is not a regular file"},
        Case{dir_->File("folder"), " is not a regular file"}, Case{big, " is larger than 1 MB"}}) {
    SCOPED_TRACE(c.path);
    Event ev;
    ev.Mailtext = c.path;
    ev.SerialText = c.path;
    EXPECT_EQ(Failure([&] { RunToCompletion(SendEventMail(ev, "m", "db1", "DOWN", nullptr)); }),
              "Mail template " + c.path + c.says);
    EXPECT_EQ(Failure([&] { RunToCompletion(RunSerialScript(ev)); }),
              "Serial script " + c.path + c.says);
    EXPECT_FALSE(FileExists("mail.log")) << "nothing was sent";
  }
  // A megabyte is still a template: it fails for what it says, not for its size.
  EXPECT_EQ(ReadActionFile(fits, "Mail template").size(), kActionFileMax);
  EXPECT_EQ(Failure([&] { RejectSpecialFile(fifo, "Sound"); }),
            "Sound " + fifo + " is not a regular file");
  RejectSpecialFile(dir_->File("no such.wav"), "Sound");  // the player says it is missing
}

}  // namespace
}  // namespace sentrel::test
