// The program's string table, keyed by string number. Besides the numbered message texts it
// holds, by command id, each command's tooltip (the string whose number is the command id),
// its main-menu text at kMenuTextBase + id and its device-tree context-menu text at
// kContextTextBase + id where that differs from the main menu's.
#pragma once

#include <string>

namespace velmora {

constexpr int kMenuTextBase = 100000;     // + 1..6: the menu bar's titles
constexpr int kContextTextBase = 200000;  // + 0: the group menu's "Add" popup

// The text of string `id`; an empty string for an unknown id.
const std::string& StringText(int id);

// printf-style formatting of a numbered string holding one %d (or %s) conversion.
std::string FormatString(int id, long long value);
std::string FormatString(int id, const std::string& value);

}  // namespace velmora
