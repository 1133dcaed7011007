#include "platform/PortTable.h"

#include <map>
#include <mutex>
#include <string_view>

namespace platform {

namespace {

struct TPortTable {
  std::mutex Lock;
  std::map<int, std::string> Paths;  // number -> device path
};

TPortTable& Table() {
  static TPortTable table;
  return table;
}

}  // namespace

int EnterPortPath(const std::string& path) {
  TPortTable& table = Table();
  std::lock_guard lock(table.Lock);
  int number = 1;
  for (const auto& [n, p] : table.Paths) {
    if (p == path) return n;
  }
  // The map is ordered, so the first gap from 1 upwards is the lowest free number.
  for (const auto& entry : table.Paths) {
    if (entry.first != number) break;
    ++number;
  }
  table.Paths.emplace(number, path);
  return number;
}

std::string PortPath(int number) {
  TPortTable& table = Table();
  std::lock_guard lock(table.Lock);
  auto it = table.Paths.find(number);
  return it == table.Paths.end() ? std::string() : it->second;
}

std::string DeviceNamePath(const std::string& deviceName) {
  static constexpr std::string_view kPrefix = "\\\\.\\COM";
  std::string_view name = deviceName;
  if (name.size() <= kPrefix.size() || name.substr(0, kPrefix.size()) != kPrefix) return {};
  std::string_view digits = name.substr(kPrefix.size());
  if (digits.size() > 9) return {};  // more than any port number the table can hold
  int number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return {};
    number = number * 10 + (c - '0');
  }
  if (number <= 0) return {};
  return PortPath(number);
}

}  // namespace platform
