// A generic element tree for the device-tree file and device texts: built from the
// events of the Expat parser, and written back in the file's exact layout.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // in document order
  std::string text;
  std::vector<XmlElement> children;

  XmlElement() = default;
  explicit XmlElement(std::string elementName, std::string elementText = std::string())
      : name(std::move(elementName)), text(std::move(elementText)) {}

  // The value of an attribute, or null when it is absent.
  const std::string* attribute(std::string_view attributeName) const;
  void setAttribute(std::string attributeName, std::string value);
  // Appends a child and returns it (valid until the next child is appended).
  XmlElement& add(std::string childName, std::string childText = std::string());
};

// Bounds that keep a hostile document from exhausting memory or the stack.
constexpr int kMaxXmlDepth = 64;                  // nested elements below the top
constexpr std::size_t kMaxXmlElements = 1 << 18;  // elements in one document

struct XmlParseResult {
  bool ok = true;         // the whole text was parsed
  std::string errorText;  // the parser's message when not ok
  long line = 0;          // line of the error
};

// Parses the text into `documentRoot` (named "DOCUMENT_ROOT"): each start tag appends a
// new element to the innermost open element, and character data goes to the innermost
// element's text. White space written literally at the start or the end of an element's
// text is layout (line breaks and indentation of a pretty-printed file) and is dropped;
// white space between other characters, and any that comes from a character or entity
// reference, is kept. On an error the elements built before it stay in the tree. Entity declarations,
// nesting deeper than kMaxXmlDepth and more than kMaxXmlElements elements end the parse
// as errors.
XmlParseResult ParseXml(std::string_view text, XmlElement& documentRoot);

// The text with every character an XML document cannot hold replaced: a byte sequence
// that is not UTF-8 (stray or missing continuation bytes, overlong forms, surrogates,
// beyond U+10FFFF) and U+FFFE, U+FFFF become U+FFFD; control characters other than tab,
// line feed and carriage return become blanks. Valid text comes back unchanged.
std::string XmlCharacters(std::string_view text);

// Writes the element at `level` (tabs of indentation), attributes sorted by name, lines
// ended by `newline`. What is written reads back through ParseXml as the same element:
// characters no document can hold are replaced first (XmlCharacters); a carriage
// return, and white space at either end of a text, are written as character references
// (the reader drops literal white space there); tab, line feed and carriage return in
// an attribute too (the parser turns literal ones into blanks).
void WriteXmlElement(const XmlElement& element, int level, std::string_view newline,
                     std::string& out);

}  // namespace velmora
