#include "serial/NetNames.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/DeviceNames.h"
#include "serial/NetPort.h"

namespace {

constexpr std::size_t kMapMax = 64 * 1024;

std::mutex g_runMutex;
std::vector<std::string> g_runUrls;

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
           return up(x) == up(y);
         });
}

// COM and a number without a leading zero, as the scan's names are.
bool IsComName(const std::string& name) {
  if (name.size() < 4 || name.size() > 8 || name.compare(0, 3, "COM") != 0 || name[3] == '0')
    return false;
  return name.find_first_not_of("0123456789", 3) == std::string::npos;
}

// The machine's own COM names, as the port list gets them.
std::vector<std::string> SystemNames() {
  std::vector<std::string> names;
  std::vector<char> buffer(65536, '\0');
  const std::uint32_t stored = platform::QueryDosDeviceNames(buffer.data(), 65535);
  if (stored == 0) return names;
  for (const char* p = buffer.data(); p < buffer.data() + 65535 && *p != '\0';) {
    const std::string name(p);
    names.push_back(name);
    p += name.size() + 1;
  }
  return names;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameName(n, name); });
}

}  // namespace

std::vector<NetNameEntry> ParseNetNameMap(const std::string& text, const std::string& file,
                                          std::vector<std::string>* problems) {
  std::vector<NetNameEntry> entries;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  auto problem = [&](const std::string& why) {
    if (problems) problems->push_back(file + ":" + std::to_string(number) + ": " + why);
  };
  while (std::getline(in, line)) {
    ++number;
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') continue;
    const auto equals = trimmed.find('=');
    if (equals == std::string::npos) {
      problem("not NAME = URL");
      continue;
    }
    NetNameEntry entry;
    entry.name = Trim(trimmed.substr(0, equals));
    entry.url = Trim(trimmed.substr(equals + 1));
    if (!IsComName(entry.name)) {
      problem("\"" + entry.name + "\" is not a COM name such as COM40");
      continue;
    }
    NetAddress address;
    std::string why;
    if (!ParseNetUrl(entry.url, address, &why)) {
      problem("\"" + entry.url + "\": " + why);
      continue;
    }
    if (std::any_of(entries.begin(), entries.end(),
                    [&](const NetNameEntry& e) { return SameName(e.name, entry.name); })) {
      problem(entry.name + " is named twice; the first line counts");
      continue;
    }
    entries.push_back(entry);
  }
  return entries;
}

std::vector<NetNameEntry> ReadNetNameMap(std::vector<std::string>* problems) {
  const std::string path = platform::NetworkPortMapPath();
  if (path.empty()) return {};
  // Every scan reads it: a FIFO would hold the scan until someone writes to
  // it, a link to a device would never end.
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error || !std::filesystem::exists(status)) return {};
  if (!std::filesystem::is_regular_file(status)) {
    if (problems) problems->push_back(path + ": not a plain file (the name map is left out)");
    return {};
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::string text(kMapMax + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kMapMax) {
    if (problems) problems->push_back(path + ": longer than 64 KiB (the name map is left out)");
    return {};
  }
  std::vector<NetNameEntry> entries = ParseNetNameMap(text, path, problems);
  const std::vector<std::string> system = SystemNames();
  for (auto& entry : entries) entry.shadowed = Contains(system, entry.name);
  return entries;
}

std::string NetUrlForPortName(const std::string& name) {
  if (IsNetUrl(name)) return name;
  if (!IsComName(name)) return {};
  for (const auto& entry : ReadNetNameMap()) {
    if (SameName(entry.name, name)) return entry.shadowed ? std::string() : entry.url;
  }
  return {};
}

std::string NetPortIdentity(const std::string& name) {
  const std::string url = NetUrlForPortName(name);
  NetAddress address;
  if (url.empty() || !ParseNetUrl(url, address)) return {};
  std::string host = address.host;
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return "[" + host + "]:" + std::to_string(address.port);
}

void AddRunNetPort(const std::string& url) {
  std::lock_guard lock(g_runMutex);
  if (!Contains(g_runUrls, url)) g_runUrls.push_back(url);
}

std::vector<std::string> NetPortNames(const std::vector<std::string>& systemNames) {
  std::vector<std::string> names;
  std::vector<std::string> problems;
  for (const auto& entry : ReadNetNameMap(&problems)) {
    if (!Contains(systemNames, entry.name) && !entry.shadowed) names.push_back(entry.name);
  }
  std::lock_guard lock(g_runMutex);
  names.insert(names.end(), g_runUrls.begin(), g_runUrls.end());
  return names;
}
