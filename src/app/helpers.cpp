#include "app/helpers.h"

#include <fcntl.h>
#include <locale.h>
#include <unistd.h>
#include <wctype.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

#include "platform/clock.h"

#ifndef VELMORA_VERSION_MAJOR
#define VELMORA_VERSION_MAJOR 0
#define VELMORA_VERSION_MINOR 0
#define VELMORA_VERSION_PATCH 0
#define VELMORA_VERSION_TWEAK 0
#endif

namespace velmora {

std::string VersionText(int major, int minor, int patch, int tweak) {
  char text[64];
  if (tweak > 0) {
    std::snprintf(text, sizeof text, "%d.%d.%d-pre%d", major, minor, patch, tweak);
  } else {
    std::snprintf(text, sizeof text, "%d.%d.%d", major, minor, patch);
  }
  return text;
}

std::string VersionString() {
  return VersionText(VELMORA_VERSION_MAJOR, VELMORA_VERSION_MINOR, VELMORA_VERSION_PATCH,
                     VELMORA_VERSION_TWEAK);
}

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int AlphabetIndex(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;  // "=" and anything outside the alphabet
}
}  // namespace

std::string Base64Encode(const std::string& input) {
  // The input ends at its first zero byte.
  std::string bytes(input.c_str());
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    unsigned b0 = static_cast<unsigned char>(bytes[i]);
    unsigned b1 = static_cast<unsigned char>(bytes[i + 1]);
    unsigned b2 = static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out += kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
    out += kAlphabet[b2 & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest == 2) {
    unsigned b0 = static_cast<unsigned char>(bytes[i]);
    unsigned b1 = static_cast<unsigned char>(bytes[i + 1]);
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out += kAlphabet[(b1 & 15) << 2];
    out += '=';
  } else if (rest == 1) {
    unsigned b0 = static_cast<unsigned char>(bytes[i]);
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[(b0 & 3) << 4];
    out += "==";
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    size_t group = std::min<size_t>(4, text.size() - i);
    unsigned c[4] = {0, 0, 0, 0};
    for (size_t k = 0; k < group; ++k) c[k] = static_cast<unsigned>(AlphabetIndex(text[i + k]));
    if (group >= 2) out += static_cast<char>(((c[0] << 2) | (c[1] >> 4)) & 0xFF);
    if (group >= 3) out += static_cast<char>((((c[1] & 15) << 4) | (c[2] >> 2)) & 0xFF);
    if (group >= 4) out += static_cast<char>((((c[2] & 3) << 6) | c[3]) & 0xFF);
  }
  // Used up to the first zero byte, so the zeros of "=" padding vanish.
  return std::string(out.c_str());
}

std::string NewUuidText() {
  // Version 7 layout: 48 bits of Unix milliseconds, then random bits. A process-wide
  // counter in the random field keeps texts made within one millisecond ordered and distinct.
  static std::mutex lock;
  static uint64_t lastMs = 0;
  static uint16_t sequence = 0;
  static std::mt19937_64 fallback{std::random_device{}()};

  std::array<unsigned char, 16> b{};
  bool haveRandom = false;
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    haveRandom = ::read(fd, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    ::close(fd);
  }
  std::lock_guard<std::mutex> guard(lock);
  if (!haveRandom) {
    for (auto& byte : b) byte = static_cast<unsigned char>(fallback());
  }
  uint64_t ms = static_cast<uint64_t>(platform::WallMs());
  if (ms <= lastMs) {
    ms = lastMs;
    ++sequence;
    if ((sequence & 0x0FFF) == 0) ++ms;  // counter wrapped: borrow the next millisecond
  } else {
    sequence = static_cast<uint16_t>(b[6] << 4 | b[7] >> 4) & 0x07FF;
  }
  lastMs = ms;
  for (int i = 0; i < 6; ++i) b[static_cast<size_t>(i)] = static_cast<unsigned char>(ms >> (40 - 8 * i));
  b[6] = static_cast<unsigned char>(0x70 | ((sequence >> 8) & 0x0F));
  b[7] = static_cast<unsigned char>(sequence & 0xFF);
  b[8] = static_cast<unsigned char>(0x80 | (b[8] & 0x3F));
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

namespace {

// Decodes one character of a name; a byte that does not start a valid sequence comes
// back alone, as a code point of its own (0xDC00 + byte) that no character has, so a
// name with broken text still compares byte for byte.
char32_t DecodeOne(const std::string& s, size_t& i) {
  char32_t cp = 0;
  const std::size_t length = DecodeUtf8(s, i, cp);
  if (length > 0) {
    i += length;
    return cp;
  }
  return 0xDC00 + static_cast<unsigned char>(s[i++]);
}

void Encode(char32_t cp, std::string& out) {
  if (cp >= 0xDC80 && cp <= 0xDCFF) {
    out += static_cast<char>(cp - 0xDC00);
  } else if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

locale_t FoldLocale() {
  static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

char32_t Lower(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  if (cp >= 0xDC80 && cp <= 0xDCFF) return cp;
  if (locale_t locale = FoldLocale()) {
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), locale));
  }
  // Without the locale: Latin-1, Greek and Cyrillic capitals.
  if ((cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) || (cp >= 0x391 && cp <= 0x3AB && cp != 0x3A2) ||
      (cp >= 0x410 && cp <= 0x42F))
    return cp + 0x20;
  if (cp >= 0x400 && cp <= 0x40F) return cp + 0x50;
  if (cp >= 0x100 && cp <= 0x17F && cp != 0x130 && cp != 0x131 && cp != 0x138 && cp != 0x149 &&
      cp != 0x178) {
    bool evenUpper = !((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E));
    if (evenUpper ? (cp % 2 == 0) : (cp % 2 == 1)) return cp + 1;
  }
  return cp;
}

}  // namespace

std::size_t DecodeUtf8(std::string_view text, std::size_t at, char32_t& codePoint) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t smallest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
    smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
    smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
    smallest = 0x10000;
  } else {
    return 0;
  }
  if (length > text.size() - at) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(at + i);
    if ((next & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  codePoint = value;
  return length;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::string FoldCase(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) Encode(Lower(DecodeOne(text, i)), out);
  return out;
}

bool NamesEqual(const std::string& a, const std::string& b) {
  if (a.size() == b.size() && a == b) return true;
  return FoldCase(a) == FoldCase(b);
}

bool HasControlCharacter(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

std::string LogSafe(std::string_view text, std::size_t maxBytes, bool asciiOnly) {
  std::string out(text.substr(0, maxBytes));
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || (asciiOnly && u > 0x7E)) c = '?';
  }
  return out;
}

std::string UrlWithoutPassword(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
  std::size_t end = url.find_first_of("/?#", authority);
  if (end == std::string::npos) end = url.size();
  const std::size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < authority || at >= end) return url;
  const std::size_t colon = url.find(':', authority);
  if (colon == std::string::npos || colon > at) return url;  // a user name alone
  return url.substr(0, colon + 1) + "***" + url.substr(at);
}

}  // namespace velmora
