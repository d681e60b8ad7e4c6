#include "platform/settings_store.h"

#include "platform/file_util.h"

namespace sentrel {

namespace {

// The settings of a file from an earlier version, under the section's present name; a
// key present under both names keeps the present one.
void RenameOldSection(IniFile& ini) {
  if (!ini.HasSection(kOldSettingsSection)) return;
  size_t index = 0;
  while (!EqualsIgnoreCase(ini.SectionName(index), kOldSettingsSection)) ++index;
  for (size_t e = 0; e < ini.EntryCount(index); ++e) {
    const std::string key(ini.EntryKey(index, e));
    if (!ini.ReadRaw(kSettingsSection, key))
      ini.WriteString(kSettingsSection, key, ini.EntryValue(index, e));
  }
  ini.EraseSection(kOldSettingsSection);
}

}  // namespace

void SettingsStore::Load() {
  adoptedFrom_.clear();
  ini_ = IniFile::Load(path_);
  RenameOldSection(ini_);
}

void SettingsStore::LoadOrAdopt(const std::string& oldPath) {
  if (FileExists(path_) || oldPath.empty() || !FileExists(oldPath)) {
    Load();
    return;
  }
  ini_ = IniFile::Load(oldPath);
  RenameOldSection(ini_);
  adoptedFrom_ = oldPath;
}

void SettingsStore::Save() const {
  MakeDirectories(DirectoryOf(path_));
  ini_.Save(path_);
}

int32_t SettingsStore::ReadNumber(const std::string& section, const std::string& key,
                                  int32_t def) const {
  return ini_.ReadInteger(section, key, def);
}

std::string SettingsStore::ReadText(const std::string& section, const std::string& key,
                                    const std::string& def) const {
  return ini_.ReadString(section, key, def);
}

void SettingsStore::WriteNumber(const std::string& section, const std::string& key,
                                int64_t value) {
  ini_.WriteInteger(section, key, value);
}

void SettingsStore::WriteText(const std::string& section, const std::string& key,
                              const std::string& value) {
  ini_.WriteString(section, key, value);
}

std::string SettingsStore::Sentrel(const std::string& key, const std::string& def) {
  auto raw = ini_.ReadRaw(kSentrelSection, key);
  if (!raw) {
    ini_.WriteString(kSentrelSection, key, def);
    return def;
  }
  return std::string(Unquote(*raw));
}

namespace {
SettingsStore emptyStore;
SettingsStore* currentStore = &emptyStore;
}  // namespace

SettingsStore& CurrentSettings() { return *currentStore; }
void SetCurrentSettings(SettingsStore* store) { currentStore = store ? store : &emptyStore; }

}  // namespace sentrel
