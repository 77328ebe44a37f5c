#include "model/xml_element.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <type_traits>

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

bool OnlyWhiteSpace(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// Builds the element tree from the parser's events.
struct TreeBuilder {
  XML_Parser parser = nullptr;
  std::vector<XmlElement*> open;  // innermost last; open[0] is the document root
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
  }

  static void OnEnd(void* data, const XML_Char* /*name*/) {
    auto* self = static_cast<TreeBuilder*>(data);
    if (self->stopped || self->open.size() <= 1) return;
    XmlElement* element = self->open.back();
    // Indentation between elements is no part of any value.
    if (OnlyWhiteSpace(element->text)) element->text.clear();
    self->open.pop_back();
  }

  static void OnText(void* data, const XML_Char* text, int length) {
    auto* self = static_cast<TreeBuilder*>(data);
    if (self->stopped || self->open.size() <= 1 || length <= 0) return;
    self->open.back()->text.append(text, static_cast<std::size_t>(length));
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
  builder.open.push_back(&documentRoot);
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

std::string EscapeXml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\'': out += "&apos;"; break;
      case '"': out += "&quot;"; break;
      default: out += c; break;
    }
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
    out += EscapeXml(attribute->second);
    out += '"';
  }
  out += '>';
  out += EscapeXml(element.text);
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
