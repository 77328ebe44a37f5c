// Build-time tool: turns res/strings.tsv (number TAB text, C escapes in the text) into a
// C++ source holding the table sorted by number, so the program needs no file at run time.
// A malformed line, an unknown escape or a repeated number fails the build.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

namespace {

bool Unescape(const std::string& in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    if (++i == in.size()) return false;
    switch (in[i]) {
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case '\'': out += '\''; break;
      default: return false;
    }
  }
  return true;
}

std::string Literal(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == '?') {
      // '?' is escaped too so that no trigraph-like sequence can form.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\%03o", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: embed_strings strings.tsv out.cpp\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << argv[1] << ": cannot open\n";
    return 1;
  }
  std::map<long, std::string> table;
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const auto tab = line.find('\t');
    char* end = nullptr;
    const std::string number = line.substr(0, tab);
    const long id = std::strtol(number.c_str(), &end, 10);
    std::string text;
    if (tab == std::string::npos || number.empty() || *end != '\0' || id < 0 || id > 0x7fffffff ||
        !Unescape(line.substr(tab + 1), text)) {
      std::cerr << argv[1] << ":" << lineNo << ": malformed line\n";
      return 1;
    }
    if (!table.emplace(id, text).second) {
      std::cerr << argv[1] << ":" << lineNo << ": number " << id << " given twice\n";
      return 1;
    }
  }
  std::ofstream out(argv[2]);
  out << "// Generated from res/strings.tsv by embed_strings; do not edit.\n"
         "#include \"app/strings_table.h\"\n\n"
         "namespace velmora::detail {\n\n"
         "const StringEntry kStringTable[] = {\n";
  for (const auto& [id, text] : table) out << "    {" << id << ", " << Literal(text) << "},\n";
  if (table.empty()) out << "    {-1, \"\"},\n";
  out << "};\n\nconst std::size_t kStringTableSize = " << table.size() << ";\n\n"
         "}  // namespace velmora::detail\n";
  out.close();
  if (!out) {
    std::cerr << argv[2] << ": write failed\n";
    return 1;
  }
  return 0;
}
