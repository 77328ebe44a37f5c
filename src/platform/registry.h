// The per-user store of typed values that stands in for a registry key: one small
// text file, one "name=type:value" line per value, written atomically.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora::platform {

class RegistryKey {
 public:
  // Reads the file. A missing or unreadable file is an empty key; bad lines are skipped.
  bool load(const std::string& path);
  // Writes every value through a temporary file and a rename.
  bool save(const std::string& path) const;

  std::optional<uint32_t> dword(const std::string& name) const;
  std::optional<std::string> string(const std::string& name) const;
  std::optional<std::vector<uint8_t>> binary(const std::string& name) const;

  void setDword(const std::string& name, uint32_t value);
  void setString(const std::string& name, const std::string& value);
  void setBinary(const std::string& name, const std::vector<uint8_t>& value);
  void erase(const std::string& name);

  // Values in the order they were set or read.
  std::string text() const;

 private:
  enum class Type { kDword = 1, kString, kBinary };
  struct Value {
    Type type;
    std::string raw;  // decoded bytes for string and binary, decimal digits for dword
  };
  const Value* find(const std::string& name, Type type) const;
  void set(const std::string& name, Type type, std::string raw);

  std::vector<std::pair<std::string, Value>> values_;
};

}  // namespace velmora::platform
