#include "app/command_options.h"

#include <utility>

namespace velmora {

CommandOptions& CommandOptions::Flag(std::string name, bool& given) {
  options_.push_back(Option{std::move(name), &given, nullptr});
  return *this;
}

CommandOptions& CommandOptions::Value(std::string name, Take take) {
  options_.push_back(Option{std::move(name), nullptr, std::move(take)});
  return *this;
}

const CommandOptions::Option* CommandOptions::Find(const std::string& name) const {
  for (const Option& option : options_)
    if (option.name == name) return &option;
  return nullptr;
}

bool CommandOptions::Parse(const std::vector<std::string>& args, std::vector<std::string>& positional, bool& help,
                           std::string& error) const {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      help = true;
      return true;
    }
    if (a == "--") {
      positional.insert(positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      return true;
    }
    if (a.size() < 2 || a[0] != '-') {
      positional.push_back(a);
      continue;
    }
    const Option* option = Find(a);
    if (option == nullptr) {
      error = "unknown option '" + a + "'";
      return false;
    }
    if (option->flag != nullptr) {
      *option->flag = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      error = a + " needs a value";
      return false;
    }
    if (!option->take(args[++i], error)) return false;
  }
  return true;
}

}  // namespace velmora
