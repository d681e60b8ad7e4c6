#include "platform/settings_store.h"

#include "platform/file_util.h"

namespace sentrel {

namespace {

// The settings of a file from an earlier version, under the section's present name and
// in its place; when both names are there, a key present under both keeps the present one.
void RenameOldSection(IniFile& ini) {
  if (!ini.HasSection(kOldSettingsSection)) return;
  const bool both = ini.HasSection(kSettingsSection);
  IniFile renamed;
  for (size_t i = 0; i < ini.SectionCount(); ++i) {
    const bool old = EqualsIgnoreCase(ini.SectionName(i), kOldSettingsSection);
    if (old && both) continue;
    const size_t index = renamed.AppendSection(old ? kSettingsSection : ini.SectionName(i));
    for (size_t e = 0; e < ini.EntryCount(i); ++e)
      renamed.AppendEntry(index, ini.EntryKey(i, e), ini.EntryValue(i, e));
  }
  if (both) {
    for (size_t i = 0; i < ini.SectionCount(); ++i) {
      if (!EqualsIgnoreCase(ini.SectionName(i), kOldSettingsSection)) continue;
      for (size_t e = 0; e < ini.EntryCount(i); ++e) {
        const std::string key(ini.EntryKey(i, e));
        if (!renamed.ReadRaw(kSettingsSection, key))
          renamed.WriteString(kSettingsSection, key, ini.EntryValue(i, e));
      }
    }
  }
  ini = std::move(renamed);
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
