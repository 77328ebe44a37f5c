#include "platform/registry.h"

#include <cstdio>
#include <cstdlib>

#include "platform/files.h"

namespace velmora::platform {
namespace {

constexpr std::size_t kMaxRegistryFile = 1 << 20;

std::string Escape(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x20 || c == '\\' || c == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 3 >= text.size() || text[i + 1] != 'x') return false;
    int hi = HexDigit(text[i + 2]);
    int lo = HexDigit(text[i + 3]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 3;
  }
  return true;
}

}  // namespace

bool RegistryKey::load(const std::string& path) {
  values_.clear();
  std::string content;
  if (!ReadWholeFile(path, content, kMaxRegistryFile)) return false;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    start = end + 1;
    size_t eq = line.find('=');
    size_t colon = eq == std::string::npos ? std::string::npos : line.find(':', eq);
    if (eq == std::string::npos || colon == std::string::npos || eq == 0) continue;
    std::string name = line.substr(0, eq);
    std::string type = line.substr(eq + 1, colon - eq - 1);
    std::string value = line.substr(colon + 1);
    if (type == "dword") {
      char* endPtr = nullptr;
      unsigned long number = std::strtoul(value.c_str(), &endPtr, 10);
      if (value.empty() || *endPtr != '\0' || number > 0xFFFFFFFFul) continue;
      set(name, Type::kDword, std::to_string(number));
    } else if (type == "string") {
      std::string decoded;
      if (Unescape(value, decoded)) set(name, Type::kString, decoded);
    } else if (type == "binary") {
      if (value.size() % 2 != 0) continue;
      std::string bytes;
      bool ok = true;
      for (size_t i = 0; i < value.size(); i += 2) {
        int hi = HexDigit(value[i]);
        int lo = HexDigit(value[i + 1]);
        if (hi < 0 || lo < 0) {
          ok = false;
          break;
        }
        bytes += static_cast<char>(hi * 16 + lo);
      }
      if (ok) set(name, Type::kBinary, bytes);
    }
  }
  return true;
}

std::string RegistryKey::text() const {
  std::string out;
  for (const auto& [name, value] : values_) {
    out += name;
    switch (value.type) {
      case Type::kDword:
        out += "=dword:" + value.raw;
        break;
      case Type::kString:
        out += "=string:" + Escape(value.raw);
        break;
      case Type::kBinary: {
        out += "=binary:";
        for (unsigned char c : value.raw) {
          char hex[3];
          std::snprintf(hex, sizeof hex, "%02x", c);
          out += hex;
        }
        break;
      }
    }
    out += '\n';
  }
  return out;
}

bool RegistryKey::save(const std::string& path) const { return WriteFileAtomic(path, text()); }

const RegistryKey::Value* RegistryKey::find(const std::string& name, Type type) const {
  for (const auto& entry : values_) {
    if (entry.first == name) return entry.second.type == type ? &entry.second : nullptr;
  }
  return nullptr;
}

void RegistryKey::set(const std::string& name, Type type, std::string raw) {
  // Names are single-line keys: anything else could not be read back.
  if (name.empty() || name.find_first_of("=\n\r") != std::string::npos) return;
  for (auto& entry : values_) {
    if (entry.first == name) {
      entry.second = Value{type, std::move(raw)};
      return;
    }
  }
  values_.emplace_back(name, Value{type, std::move(raw)});
}

std::optional<uint32_t> RegistryKey::dword(const std::string& name) const {
  const Value* v = find(name, Type::kDword);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(std::strtoul(v->raw.c_str(), nullptr, 10));
}

std::optional<std::string> RegistryKey::string(const std::string& name) const {
  const Value* v = find(name, Type::kString);
  if (!v) return std::nullopt;
  return v->raw;
}

std::optional<std::vector<uint8_t>> RegistryKey::binary(const std::string& name) const {
  const Value* v = find(name, Type::kBinary);
  if (!v) return std::nullopt;
  return std::vector<uint8_t>(v->raw.begin(), v->raw.end());
}

void RegistryKey::setDword(const std::string& name, uint32_t value) {
  set(name, Type::kDword, std::to_string(value));
}
void RegistryKey::setString(const std::string& name, const std::string& value) {
  set(name, Type::kString, value);
}
void RegistryKey::setBinary(const std::string& name, const std::vector<uint8_t>& value) {
  set(name, Type::kBinary, std::string(value.begin(), value.end()));
}
void RegistryKey::erase(const std::string& name) {
  for (auto it = values_.begin(); it != values_.end(); ++it) {
    if (it->first == name) {
      values_.erase(it);
      return;
    }
  }
}

}  // namespace velmora::platform
