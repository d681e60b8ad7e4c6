#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "events/event_list.h"
#include "events/serial_action.h"
#include "model/last_activity.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "platform/settings_store.h"
#include "support/pty_device.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

using ::testing::HasSubstr;

TEST(SerialOptionsTest, KeysInAnyOrderAndCaseAllFiveRequired) {
  SerialOptions d = ParseSerialOptions(kDefaultSerialOptions);
  EXPECT_EQ(d.PortName(), "COM1");
  LineSettings line = d.Line();
  EXPECT_EQ(line.baud, 2400);
  EXPECT_EQ(line.dataBits, 8);
  EXPECT_EQ(line.parity, LineSettings::kNone);
  EXPECT_EQ(line.stopBits, LineSettings::kOne);

  SerialOptions o = ParseSerialOptions("  STOP=2 Parity=1,,BAUD=12 bits=0 port=7 port=1");
  EXPECT_EQ(o.PortName(), "COM8");
  EXPECT_EQ(o.Line().baud, 115200);
  EXPECT_EQ(o.Line().dataBits, 5);
  EXPECT_EQ(o.Line().parity, LineSettings::kOdd);
  EXPECT_EQ(o.Line().stopBits, LineSettings::kTwo);

  // Outside the tables: no device, rate 0, index + 5 data bits, no parity, one stop bit.
  SerialOptions odd = ParseSerialOptions("port=8,baud=13,bits=4,parity=5,stop=3");
  EXPECT_EQ(odd.PortName(), "");
  EXPECT_EQ(odd.Line().baud, 0);
  EXPECT_EQ(odd.Line().dataBits, 9);
  EXPECT_EQ(odd.Line().parity, LineSettings::kNone);
  EXPECT_EQ(odd.Line().stopBits, LineSettings::kOne);

  EXPECT_THROW(ParseSerialOptions("port=0,bits=3,baud=4,parity=0"), SentrelError);
  EXPECT_THROW(ParseSerialOptions("port=0,bits=3,baud=x4,parity=0,stop=0"), SentrelError);
  EXPECT_THROW(ParseSerialOptions("port=0,bits=3,baud=,parity=0,stop=0"), SentrelError);
  EXPECT_THROW(ParseSerialOptions(""), SentrelError);
}

class SerialTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    SetCurrentSettings(&settings_);
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    oldCwd_ = buf;
    // "serial.log" is written to the current directory.
    ASSERT_EQ(chdir(dir_->Path().c_str()), 0);
    settings_.Ini().WriteString(kSentrelSection, "COM1", device_.SlavePath());
    ev_.SerialText = dir_->File("script.txt");
  }
  void TearDown() override {
    EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
    CoreFixture::TearDown();
  }
  std::string Failure() {
    try {
      RunToCompletion(RunSerialScript(ev_));
    } catch (const SentrelError& e) {
      return e.what();
    }
    return "no failure";
  }
  std::string Stamp() const { return FormatDateTime(Now()); }

  SettingsStore settings_;
  PtyDevice device_;
  std::string oldCwd_;
  Event ev_;
};

TEST_F(SerialTest, SendsLinesWithCrAndWaitsForALongerAnswer_TheLogByteForByte) {
  // The device's answer is already waiting; it only reaches the script's wait, since
  // the send line reads nothing.
  device_.Send("\r\nOK\r\n");
  WriteFile(ev_.SerialText, "ATZ\r\n?OK\nAT+SEND=\"db1 down\"\r\r\n");
  const std::string t0 = Stamp();
  RunToCompletion(RunSerialScript(ev_));
  EXPECT_EQ(device_.Received(), "ATZ\rAT+SEND=\"db1 down\"\r\r");
  EXPECT_EQ(ReadFile("serial.log"),
            t0 + " open\r\n" + t0 + " start\r\n" + t0 + " Send: \"ATZ\"\r\n" + t0 +
                " Waitfor: \"OK\"\r\n"
                "\r\nOK\r\n" +
                t0 + " OK\r\n" + t0 + " Send: \"AT+SEND=\"db1 down\"\"\r\n" + t0 +
                " Send: \"\"\r\n");
  EXPECT_EQ(LastActivity, "IPEvent.DoSerial");
}

TEST_F(SerialTest, AWaitIsCaseSensitiveAndTimesOutAfterThirtySeconds) {
  device_.Send("OK\r\n");
  WriteFile(ev_.SerialText, "?ok\r\nAFTER\r\n");
  const std::string t0 = Stamp();
  const int64_t before = clock_.MonotonicMs();
  RunToCompletion(RunSerialScript(ev_));
  EXPECT_GT(clock_.MonotonicMs() - before, kSerialWaitMs);
  const std::string t1 = Stamp();
  EXPECT_NE(t0, t1);
  // The wait read everything the device said, byte by byte into the log; the script
  // went on after the time-out.
  EXPECT_EQ(ReadFile("serial.log"), t0 + " open\r\n" + t0 + " start\r\n" + t0 +
                                        " Waitfor: \"ok\"\r\nOK\r\n\r\n" + t1 + " Timeout!\r\n" +
                                        t1 + " Send: \"AFTER\"\r\n");
  EXPECT_EQ(device_.Received(), "AFTER\r");
}

TEST_F(SerialTest, AnEmptyWaitNeverSucceedsAndLeftoverBytesReachTheNextWait) {
  device_.Send("\r\nOK\r\nREADY");
  WriteFile(ev_.SerialText, "?OK\r\n?\r\n");
  RunToCompletion(RunSerialScript(ev_));
  std::string log = ReadFile("serial.log");
  EXPECT_THAT(log, HasSubstr("\"OK\"\r\n\r\nOK\r\n"));
  EXPECT_THAT(log, HasSubstr("Waitfor: \"\"\r\n\r\nREADY\r\n"));
  EXPECT_THAT(log, HasSubstr(" Timeout!\r\n"));
}

TEST_F(SerialTest, TheDeviceAnswersWhileTheScriptWaits) {
  SetCurrentClock(nullptr);  // the device plays along in real time
  WriteFile(ev_.SerialText, "ATZ\r\n?OK\r\nATH\r\n");
  std::thread device([&] {
    device_.ReceiveUntil("ATZ\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    device_.Send("ATZ\r\r\nO");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    device_.Send("K\r\n");
  });
  auto start = std::chrono::steady_clock::now();
  RunToCompletion(RunSerialScript(ev_));
  device.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  std::string log = ReadFile("serial.log");
  EXPECT_THAT(log, HasSubstr("Waitfor: \"OK\"\r\nATZ\r\r\nOK\r\n"));
  EXPECT_THAT(log, HasSubstr(" OK\r\n"));
  EXPECT_THAT(device_.ReceiveUntil("ATH\r"), ::testing::EndsWith("ATH\r"));
}

// While a script waits for its modem, the loop (the window, the checks) is served; an
// event that wants the port meanwhile gets it once the first script has ended.
TEST_F(SerialTest, TheLoopIsServedWhileAScriptWaitsAndASecondScriptWaitsItsTurn) {
  SetCurrentClock(nullptr);
  WriteFile(ev_.SerialText, "FIRST\r\n?OK\r\nFIRST AGAIN\r\n");
  Event second;
  second.SerialText = dir_->File("second.txt");
  WriteFile(second.SerialText, "SECOND\r\n");
  int ticks = 0;
  TaskGroup later;
  std::function<void()> tick = [&] {
    // Asked for while the first one waits.
    if (++ticks == 3) later.Start(RunSerialScript(second), "second script");
    if (ticks < 100) loop_->AddTimer(10, tick);
  };
  loop_->AddTimer(10, tick);
  std::thread device([&] {
    device_.ReceiveUntil("FIRST\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    device_.Send("OK\r\n");
  });
  RunToCompletion(RunSerialScript(ev_));
  device.join();
  EXPECT_GE(ticks, 10);  // timers ran during the 200 ms wait
  ASSERT_TRUE(loop_->WaitUntil([&] { return later.Size() == 0; }, 5000));
  EXPECT_EQ(device_.ReceiveUntil("SECOND\r"), "FIRST AGAIN\rSECOND\r");
  const std::string log = ReadFile("serial.log");
  EXPECT_LT(log.find("FIRST AGAIN"), log.find("SECOND")) << log;
}

TEST_F(SerialTest, LongWaitTextsAreCutTo1024Characters) {
  std::string target(1030, 'x');
  device_.Send(std::string(1024, 'x'));
  WriteFile(ev_.SerialText, "?" + target + "\r\n");
  RunToCompletion(RunSerialScript(ev_));
  std::string log = ReadFile("serial.log");
  EXPECT_THAT(log, HasSubstr("Waitfor: \"" + std::string(1024, 'x') + "\"\r\n"));
  EXPECT_THAT(log, HasSubstr(" OK\r\n"));
}

TEST_F(SerialTest, APortThatCannotBeOpenedOrSet) {
  WriteFile(ev_.SerialText, "ATZ\r\n");
  settings_.Ini().WriteString(kSentrelSection, "COM2", dir_->File("no-such-device"));
  ev_.SerialOptions = "port=1,bits=3,baud=4,parity=0,stop=0";
  EXPECT_EQ(Failure(), "Unable to open com port: COM2");
  const std::string t0 = Stamp();
  EXPECT_EQ(ReadFile("serial.log"), t0 + " open\r\n");

  ev_.SerialOptions = "port=8,bits=3,baud=4,parity=0,stop=0";
  EXPECT_EQ(Failure(), "Unable to open com port: ");

  WriteFile(dir_->File("plain"), "");
  settings_.Ini().WriteString(kSentrelSection, "COM3", dir_->File("plain"));
  ev_.SerialOptions = "port=2,bits=3,baud=4,parity=0,stop=0";
  EXPECT_EQ(Failure(), "Unable to set com state: 25");  // not a terminal

  ev_.SerialOptions = "port=0,bits=3,baud=13,parity=0,stop=0";
  EXPECT_EQ(Failure(), "Unable to set com state: 22");
  ev_.SerialOptions = "port=0,bits=4,baud=4,parity=0,stop=0";
  EXPECT_EQ(Failure(), "Unable to set com state: 22");
  EXPECT_THAT(ReadFile("serial.log"), ::testing::Not(HasSubstr("start")));
  EXPECT_EQ(device_.Received(), "");

  // Every rate of the table, 14400 and 56000 included, and the other line settings.
  for (int baud = 0; baud < 13; ++baud) {
    ev_.SerialOptions = "port=0,bits=" + std::to_string(baud % 4) +
                        ",baud=" + std::to_string(baud) + ",parity=" + std::to_string(baud % 5) +
                        ",stop=" + std::to_string(baud % 3);
    EXPECT_EQ(Failure(), "no failure") << ev_.SerialOptions;
  }
}

TEST_F(SerialTest, NoScriptOrBadOptionsFailBeforeThePortIsOpened) {
  ev_.SerialText = "";
  EXPECT_THROW(RunToCompletion(RunSerialScript(ev_)), SystemError);
  ev_.SerialText = dir_->File("script.txt");
  WriteFile(ev_.SerialText, "ATZ\r\n");
  ev_.SerialOptions = "port=0,bits=3,baud=4";
  EXPECT_THAT(Failure(), HasSubstr("Serial options lack \"stop\""));
  EXPECT_EQ(ReadFile("serial.log"), "");
  EXPECT_EQ(device_.Received(), "");
}

TEST_F(SerialTest, ADeviceThatHangsUpFailsTheScriptAndTheLogStays) {
  SetCurrentClock(nullptr);
  WriteFile(ev_.SerialText, "ATZ\r\n?OK\r\nNEVER\r\n");
  std::thread device([&] {
    device_.ReceiveUntil("ATZ\r");
    device_.Send("O");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    device_.HangUp();
  });
  std::string failure = Failure();
  device.join();
  EXPECT_EQ(failure, "Operation failed: 5");
  std::string log = ReadFile("serial.log");
  EXPECT_THAT(log, HasSubstr("Waitfor: \"OK\"\r\nO"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("NEVER")));
}

TEST_F(SerialTest, AnUnwritableLogStopsTheScript) {
  MakeDirectories(dir_->File("serial.log"));
  WriteFile(ev_.SerialText, "ATZ\r\n");
  EXPECT_THROW(RunToCompletion(RunSerialScript(ev_)), SystemError);
  EXPECT_EQ(device_.Received(), "");
}

TEST_F(SerialTest, ComPortsDefaultToTheFirstSerialDevices) {
  SettingsStore fresh;
  SetCurrentSettings(&fresh);
  EXPECT_EQ(SerialDevicePath(0), "/dev/ttyS0");
  EXPECT_EQ(SerialDevicePath(7), "/dev/ttyS7");
  EXPECT_EQ(SerialDevicePath(8), "");
  // The defaults are recorded, so the settings file shows where to change them.
  EXPECT_EQ(fresh.ReadText(kSentrelSection, "COM8", ""), "/dev/ttyS7");
}

}  // namespace
}  // namespace sentrel::test
