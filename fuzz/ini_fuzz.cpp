// INI text as the server file, the events file and the settings read it.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "events/event_list.h"
#include "model/server_list.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"

using namespace sentrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  IniFile ini = IniFile::Parse(text);
  // What the program writes must read back the same way.
  IniFile again = IniFile::Parse(ini.Serialize());
  if (again.SectionNames() != ini.SectionNames()) __builtin_trap();

  static const std::string path = "/dev/shm/sentrel-ini-fuzz-" + std::to_string(getpid());
  WriteFileAtomic(path, text);
  ServerList servers;
  servers.LoadFromFile(path);
  EventList events;
  events.LoadFromFile(path);
  for (int i = 0; i < events.Count(); ++i)
    if (events.Items(i)->count[0] < 2) __builtin_trap();
  servers.SaveToFile(path);
  ServerList back;
  back.LoadFromFile(path);
  if (back.Count() > servers.Count()) __builtin_trap();
  unlink(path.c_str());
  unlink(BackupPath(path).c_str());
  return 0;
}
