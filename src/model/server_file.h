#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sentrel {

class Findings;
class IniFile;

// The keys the server file holds, as they are written.
inline const std::vector<std::string> kServerKeys = {
    "IP", "Location", "Notes", "Logfile", "Group", "GroupExpand", "PortExpand", "Parent", "Maintenance"};
inline const std::vector<std::string> kMonitorKeys = {"Typ", "Port", "Data", "Alarm", "intervall"};
// The items of a monitor's Data that anything reads.
inline const std::vector<std::string> kHttpDataKeys = {
    "url", "username", "password", "proxy", "proxyport", "mustinclude", "maynotinclude"};
inline const std::vector<std::string> kEventDataKeys = {"GtoY", "GYtoR", "RtoY", "RYtoG"};

// Which sections of a parsed server file make the configuration, in the order they
// load: each server section that counts, with the monitor sections that belong to it.
// Everything else in the file is dropped on loading, and so lost at the next save.
struct ServerFileLayout {
  struct ServerSections {
    size_t section = 0;
    std::vector<size_t> monitors;
  };
  std::vector<ServerSections> servers;
  // Sections the configuration will not hold: a second section of a name (in any case),
  // a section named "[]", a monitor section whose server section is missing, and a
  // header without its "]".
  size_t droppedSections = 0;
};

// Decides the layout exactly as loading does, and when findings are given says why each
// dropped section is dropped. The text must be INI text (IniFile::IsIniText).
ServerFileLayout LayOutServerFile(const IniFile& ini, const std::string& file, Findings* findings);

// The names of a Parent value, "a,b" or "a, b": trimmed, empty ones left out.
std::vector<std::string> SplitParentNames(std::string_view value);

// The backup path of a server file: its extension replaced by ".bak".
std::string BackupPath(const std::string& path);
// Where the first save after a load that dropped sections keeps the file as it was: its
// extension replaced by ".orig.bak". The ".bak" of the save before stays as it is.
std::string OriginalBackupPath(const std::string& path);

}  // namespace sentrel
