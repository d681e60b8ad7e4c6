#pragma once

#include <cstdint>
#include <string>

#include "platform/ini_file.h"

namespace sentrel {

// The per-user settings store: an INI file with the section [Options] for the program's
// settings (the server file last used and the choices of the Options menu; names, types
// and defaults as they always were), [Window] for the window placement and [Sentrel] for
// what this port adds (command templates, device paths, web addresses). Read once at
// start, written whole at close. A file that still has the section [Corvane] (its name in
// earlier versions) is read as before; the next save writes it as [Options].
class SettingsStore {
 public:
  SettingsStore() = default;
  explicit SettingsStore(std::string path) : path_(std::move(path)) {}

  // Reads the file; a missing file is an empty store.
  void Load();
  // Reads the file; when there is none but a file is at oldPath (where earlier versions
  // kept the settings), reads that one instead. AdoptedFrom() then names it; the next
  // Save writes to this store's own path, and the old file is left as it is.
  void LoadOrAdopt(const std::string& oldPath);
  const std::string& AdoptedFrom() const { return adoptedFrom_; }
  // Writes the file atomically, creating its directory. Throws SystemError on failure.
  void Save() const;
  const std::string& Path() const { return path_; }

  // A number stored as text that is not a number is "not of number type": def.
  int32_t ReadNumber(const std::string& section, const std::string& key, int32_t def) const;
  std::string ReadText(const std::string& section, const std::string& key,
                       const std::string& def) const;
  void WriteNumber(const std::string& section, const std::string& key, int64_t value);
  void WriteText(const std::string& section, const std::string& key, const std::string& value);

  // A [Sentrel] setting. An absent one is filled in with its default, so the file shows
  // every setting the program reads after its first close.
  std::string Sentrel(const std::string& key, const std::string& def);

  IniFile& Ini() { return ini_; }

 private:
  std::string path_;
  std::string adoptedFrom_;
  IniFile ini_;
};

constexpr const char* kSettingsSection = "Options";
// The section's name in the files of earlier versions.
constexpr const char* kOldSettingsSection = "Corvane";
constexpr const char* kWindowSection = "Window";
constexpr const char* kSentrelSection = "Sentrel";

// The program's settings store, for the parts that read [Sentrel] values. The program
// sets it at start; without one an empty store answers with the defaults.
SettingsStore& CurrentSettings();
void SetCurrentSettings(SettingsStore* store);

}  // namespace sentrel
