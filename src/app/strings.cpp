#include "app/strings.h"

#include <string_view>
#include <unordered_map>

#include "app/strings_table.h"

namespace velmora {

namespace {

// The table as std::strings, built once; the references handed out stay valid for the
// whole process.
const std::unordered_map<int, std::string>& Table() {
  static const std::unordered_map<int, std::string> table = [] {
    std::unordered_map<int, std::string> t;
    t.reserve(detail::kStringTableSize);
    for (std::size_t i = 0; i < detail::kStringTableSize; ++i)
      t.emplace(detail::kStringTable[i].id, detail::kStringTable[i].text);
    return t;
  }();
  return table;
}

// Replaces the first printf conversion of `format` by `value` and "%%" by "%". Done by
// hand rather than with snprintf because the format comes from data: a text whose
// conversion does not match the argument type must not be undefined behaviour.
std::string Substitute(const std::string& format, const std::string& value) {
  std::string out;
  bool done = false;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      out += format[i];
      continue;
    }
    if (format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Skip flags, width, precision and length up to the conversion letter.
    std::size_t j = i + 1;
    while (j < format.size() && std::string_view("-+ #0123456789.lhz").find(format[j]) != std::string_view::npos) ++j;
    if (j == format.size()) {
      out += format.substr(i);
      break;
    }
    if (!done) out += value;
    done = true;
    i = j;
  }
  return out;
}

}  // namespace

const std::string& StringText(int id) {
  static const std::string empty;
  const auto& table = Table();
  const auto it = table.find(id);
  return it == table.end() ? empty : it->second;
}

std::string FormatString(int id, long long value) { return Substitute(StringText(id), std::to_string(value)); }

std::string FormatString(int id, const std::string& value) { return Substitute(StringText(id), value); }

}  // namespace velmora
