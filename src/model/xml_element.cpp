#include "model/xml_element.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "app/helpers.h"

namespace velmora {

const std::string* XmlElement::attribute(std::string_view attributeName) const {
  for (const auto& [key, value] : attributes) {
    if (key == attributeName) return &value;
  }
  return nullptr;
}

void XmlElement::setAttribute(std::string attributeName, std::string value) {
  for (auto& [key, current] : attributes) {
    if (key == attributeName) {
      current = std::move(value);
      return;
    }
  }
  attributes.emplace_back(std::move(attributeName), std::move(value));
}

XmlElement& XmlElement::add(std::string childName, std::string childText) {
  children.emplace_back(std::move(childName), std::move(childText));
  return children.back();
}

namespace {

struct ParserDeleter {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};
using ParserHandle = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter>;

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// What is known of the text of an open element while its pieces arrive.
struct TextState {
  bool started = false;   // a piece that is not layout has arrived
  std::size_t keep = 0;   // text length up to its last piece that is not layout
};

// Builds the element tree from the parser's events.
struct TreeBuilder {
  XML_Parser parser = nullptr;
  std::string_view document;      // the whole text, to tell references from literal text
  std::vector<XmlElement*> open;  // innermost last; open[0] is the document root
  std::vector<TextState> texts;   // one per entry of `open`
  std::size_t elements = 0;
  bool stopped = false;  // set when a bound was hit; later events are ignored
  std::string stopReason;
  long stopLine = 0;

  void stop(const char* reason) {
    stopped = true;
    stopReason = reason;
    stopLine = static_cast<long>(XML_GetCurrentLineNumber(parser));
    XML_StopParser(parser, XML_FALSE);
  }

  static void OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto* self = static_cast<TreeBuilder*>(data);
    if (self->stopped) return;
    if (self->open.size() > static_cast<std::size_t>(kMaxXmlDepth)) {
      self->stop("element nesting too deep");
      return;
    }
    if (++self->elements > kMaxXmlElements) {
      self->stop("too many elements");
      return;
    }
    XmlElement& element = self->open.back()->add(name);
    for (const XML_Char** a = attributes; a != nullptr && a[0] != nullptr; a += 2) {
      element.attributes.emplace_back(a[0], a[1] != nullptr ? a[1] : "");
    }
    self->open.push_back(&element);
    self->texts.emplace_back();
  }

  static void OnEnd(void* data, const XML_Char* /*name*/) {
    auto* self = static_cast<TreeBuilder*>(data);
    if (self->stopped || self->open.size() <= 1) return;
    // Line breaks and indentation after the last real character are no part of the value.
    self->open.back()->text.resize(self->texts.back().keep);
    self->open.pop_back();
    self->texts.pop_back();
  }

  // The parser hands text over in pieces: runs of literal characters, each line break on
  // its own, and one piece per character or entity reference. A reference always counts;
  // literal white space counts only between other characters.
  static void OnText(void* data, const XML_Char* text, int length) {
    auto* self = static_cast<TreeBuilder*>(data);
    if (self->stopped || self->open.size() <= 1 || length <= 0) return;
    std::string_view piece(text, static_cast<std::size_t>(length));
    std::string& target = self->open.back()->text;
    TextState& state = self->texts.back();
    const XML_Index at = XML_GetCurrentByteIndex(self->parser);
    const bool reference = at >= 0 && static_cast<std::size_t>(at) < self->document.size() &&
                           self->document[static_cast<std::size_t>(at)] == '&';
    if (reference) {
      target.append(piece);
      state.started = true;
      state.keep = target.size();
      return;
    }
    if (!state.started) {
      std::size_t first = 0;
      while (first < piece.size() && IsXmlSpace(piece[first])) ++first;
      piece.remove_prefix(first);
      if (piece.empty()) return;
    }
    target.append(piece);
    std::size_t trailing = 0;
    while (trailing < piece.size() && IsXmlSpace(piece[piece.size() - 1 - trailing])) ++trailing;
    if (trailing < piece.size()) {
      state.started = true;
      state.keep = target.size() - trailing;
    }
  }

  static void OnEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int,
                           const XML_Char*, const XML_Char*, const XML_Char*,
                           const XML_Char*) {
    // Entities could expand a small text into an enormous one; the file never has them.
    auto* self = static_cast<TreeBuilder*>(data);
    if (!self->stopped) self->stop("entity declarations are not accepted");
  }
};

}  // namespace

XmlParseResult ParseXml(std::string_view text, XmlElement& documentRoot) {
  XmlParseResult result;
  documentRoot.name = "DOCUMENT_ROOT";
  ParserHandle parser(XML_ParserCreate(nullptr));
  if (!parser) {
    result.ok = false;
    result.errorText = "out of memory";
    return result;
  }
  TreeBuilder builder;
  builder.parser = parser.get();
  builder.document = text;
  builder.open.push_back(&documentRoot);
  builder.texts.emplace_back();
  XML_SetUserData(parser.get(), &builder);
  XML_SetElementHandler(parser.get(), &TreeBuilder::OnStart, &TreeBuilder::OnEnd);
  XML_SetCharacterDataHandler(parser.get(), &TreeBuilder::OnText);
  XML_SetEntityDeclHandler(parser.get(), &TreeBuilder::OnEntityDecl);

  // One call for the whole text; a text beyond the parser's int length goes in slices.
  std::size_t offset = 0;
  XML_Status status = XML_STATUS_OK;
  do {
    std::size_t slice = std::min<std::size_t>(text.size() - offset, INT_MAX / 2);
    bool final = offset + slice == text.size();
    status = XML_Parse(parser.get(), text.data() + offset, static_cast<int>(slice),
                       final ? XML_TRUE : XML_FALSE);
    offset += slice;
  } while (status == XML_STATUS_OK && offset < text.size());

  if (builder.stopped) {
    result.ok = false;
    result.errorText = builder.stopReason;
    result.line = builder.stopLine;
  } else if (status != XML_STATUS_OK) {
    result.ok = false;
    const XML_LChar* message = XML_ErrorString(XML_GetErrorCode(parser.get()));
    result.errorText = message != nullptr ? message : "unknown error";
    result.line = static_cast<long>(XML_GetCurrentLineNumber(parser.get()));
  }
  // Elements still open after an error keep what they received.
  return result;
}

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the UTF-8 sequence at text[at] when it encodes a character an XML document
// may hold (any but U+FFFE and U+FFFF, surrogates, overlong forms and values beyond
// U+10FFFF); 0 otherwise. Control characters are judged by the caller.
std::size_t XmlSequenceLength(std::string_view text, std::size_t at) {
  char32_t value = 0;
  const std::size_t length = DecodeUtf8(text, at, value);
  return value == 0xFFFE || value == 0xFFFF ? 0 : length;
}

enum class Place { kText, kAttribute };

// Escapes a value so that the parser gives back exactly the characters written.
void AppendEscaped(std::string_view value, Place place, std::string& out) {
  const std::string text = XmlCharacters(value);
  std::size_t first = 0;
  std::size_t last = text.size();
  if (place == Place::kText) {
    while (first < last && IsXmlSpace(text[first])) ++first;
    while (last > first && IsXmlSpace(text[last - 1])) --last;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool edge = i < first || i >= last;  // white space the reader would drop
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\'': out += "&apos;"; break;
      case '"': out += "&quot;"; break;
      case '\r': out += "&#13;"; break;
      case '\t':
        if (edge || place == Place::kAttribute) out += "&#9;";
        else out += c;
        break;
      case '\n':
        if (edge || place == Place::kAttribute) out += "&#10;";
        else out += c;
        break;
      case ' ':
        if (edge) out += "&#32;";
        else out += c;
        break;
      default: out += c; break;
    }
  }
}

}  // namespace

std::string XmlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20) {
      out += (c == '\t' || c == '\n' || c == '\r') ? static_cast<char>(c) : ' ';
      ++i;
      continue;
    }
    const std::size_t length = XmlSequenceLength(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

void WriteXmlElement(const XmlElement& element, int level, std::string_view newline,
                     std::string& out) {
  out.append(static_cast<std::size_t>(level), '\t');
  out += '<';
  out += element.name;
  std::vector<const std::pair<std::string, std::string>*> sorted;
  sorted.reserve(element.attributes.size());
  for (const auto& attribute : element.attributes) sorted.push_back(&attribute);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto* a, const auto* b) { return a->first < b->first; });
  for (const auto* attribute : sorted) {
    out += ' ';
    out += attribute->first;
    out += "=\"";
    AppendEscaped(attribute->second, Place::kAttribute, out);
    out += '"';
  }
  out += '>';
  AppendEscaped(element.text, Place::kText, out);
  if (!element.children.empty()) {
    out += newline;
    for (const auto& child : element.children) WriteXmlElement(child, level + 1, newline, out);
    out.append(static_cast<std::size_t>(level), '\t');
  }
  out += "</";
  out += element.name;
  out += '>';
  out += newline;
}

}  // namespace velmora
