// The options of the command-line commands (export, backup): flags, options that take a
// value, and the positional words, read the same way by every command. "--help" or "-h"
// asks for the help text and ends the reading; "--" ends the options (what follows is
// positional, even when it starts with '-'); "-" alone is positional; any other word
// starting with '-' that no option names is refused.
//
// Any thread; an object is set up and read by one.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmora {

class CommandOptions {
 public:
  // Takes an option's value; false refuses it, with error set to the reason.
  using Take = std::function<bool(const std::string& value, std::string& error)>;

  // An option without a value: `given` becomes true when it appears.
  CommandOptions& Flag(std::string name, bool& given);
  // An option followed by its value, handed to `take`.
  CommandOptions& Value(std::string name, Take take);

  // Reads args. False with error set on an unknown option, a missing or refused value.
  // help is set (and the rest left unread) on "--help" or "-h".
  bool Parse(const std::vector<std::string>& args, std::vector<std::string>& positional, bool& help,
             std::string& error) const;

 private:
  struct Option {
    std::string name;
    bool* flag = nullptr;  // a flag's target, or
    Take take;             // a value's taker
  };
  const Option* Find(const std::string& name) const;

  std::vector<Option> options_;
};

}  // namespace velmora
