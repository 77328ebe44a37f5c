#include "live/decrypt.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

#include "app/log.h"
#include "app/paths.h"
#include "live/crypto_key.h"

namespace velmora {

namespace {

constexpr uint32_t kMaxImageSize = 0x400000;  // 4 MiB
constexpr std::size_t kMaxKeyFileBytes = 256;
constexpr std::size_t kBlock = 16;
// Keystream blocks made per cipher call.
constexpr std::size_t kBatchBlocks = 1024;

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// The imported key. g_key is written only under g_keyLock before g_keyReady is set, and
// only read after g_keyReady was seen set.
std::mutex g_keyLock;
std::atomic<bool> g_keyReady{false};
std::vector<uint8_t> g_key;
// The folder the key file is read from at the first encrypted frame; under g_keyLock.
std::string g_keyFolder;

// The key, read from the key folder when that has not happened yet.
void ImportKeyOfFolder() {
  if (g_keyReady.load(std::memory_order_acquire)) return;
  std::string folder;
  {
    std::lock_guard<std::mutex> guard(g_keyLock);
    folder = g_keyFolder;
  }
  ImportFrameKey(folder);
}

uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A cipher failure: the program goes on without decrypting the frame (which then shows
// as corrupt), so one broken frame never ends the recording of every camera.
void ReportCipherFailure(const char* format) {
  const unsigned long code = ERR_get_error();
  char text[128];
  std::snprintf(text, sizeof text, format, code);
  std::fputs(text, stderr);
  std::string line(text);
  while (!line.empty() && line.back() == '\n') line.pop_back();
  Log("%s", line.c_str());
}

const EVP_CIPHER* CipherForKey(std::size_t bytes) {
  switch (bytes) {
    case 16: return EVP_aes_128_ecb();
    case 24: return EVP_aes_192_ecb();
    case 32: return EVP_aes_256_ecb();
    default: return nullptr;
  }
}

}  // namespace

bool IsEncryptedFrame(const uint8_t* frame, std::size_t length) {
  return length >= 4 && frame[0] == 0xFF && frame[1] == 0xD8 && frame[2] == 0xFF && frame[3] == 0xEA;
}

bool ParseFrameKey(const std::string& content, std::vector<uint8_t>& key) {
  key.clear();
  if (content.size() == 16 || content.size() == 24 || content.size() == 32) {
    key.assign(content.begin(), content.end());
    return true;
  }
  std::string hex;
  for (char c : content) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    hex += c;
  }
  if (hex.size() != 32 && hex.size() != 48 && hex.size() != 64) return false;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexDigit(hex[i]);
    const int lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) {
      key.clear();
      return false;
    }
    key.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

bool ImportFrameKey(const std::string& folder) {
  if (g_keyReady.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> guard(g_keyLock);
  if (g_keyReady.load(std::memory_order_relaxed)) return true;

  std::vector<uint8_t> key(kDefaultFrameKey.begin(), kDefaultFrameKey.end());
  if (!folder.empty()) {
    const std::string path = WithSlash(folder) + kFrameKeyFileName;
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::string content(kMaxKeyFileBytes + 1, '\0');
      in.read(content.data(), static_cast<std::streamsize>(content.size()));
      content.resize(static_cast<std::size_t>(in.gcount()));
      std::vector<uint8_t> fromFile;
      if (ParseFrameKey(content, fromFile)) {
        key = std::move(fromFile);
      } else {
        // Not a key of a size AES knows: the built-in key stays in use.
        Log("bad keysize of %d bits", static_cast<int>(content.size() * 8));
      }
    }
  }
  Log("setting %d-bit AES encryption key", static_cast<int>(key.size() * 8));
  g_key = std::move(key);
  g_keyReady.store(true, std::memory_order_release);
  return true;
}

void SetFrameKeyFolder(const std::string& folder) {
  std::lock_guard<std::mutex> guard(g_keyLock);
  g_keyFolder = folder;
}

void ResetFrameKey() {
  std::lock_guard<std::mutex> guard(g_keyLock);
  g_keyReady.store(false, std::memory_order_release);
  g_key.clear();
}

bool CounterModeXor(const std::vector<uint8_t>& key, const uint8_t counter[12], uint8_t* data,
                    std::size_t length) {
  const EVP_CIPHER* cipher = CipherForKey(key.size());
  if (cipher == nullptr) {
    std::fprintf(stderr, "bad keysize of %d bits\n", static_cast<int>(key.size() * 8));
    Log("bad keysize of %d bits", static_cast<int>(key.size() * 8));
    return false;
  }
  thread_local CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) {
    ReportCipherFailure("CryptAcquireContext() failed [%08lx]\n");
    return false;
  }
  if (EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr) != 1) {
    ReportCipherFailure("CryptImportKey() failed [%08lx]\n");
    return false;
  }
  if (EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    ReportCipherFailure("CryptSetKeyParam(KP_MODE) failed [%08lx]\n");
    return false;
  }

  thread_local std::array<uint8_t, kBatchBlocks * kBlock> blocks;
  thread_local std::array<uint8_t, kBatchBlocks * kBlock> stream;
  uint32_t blockNumber = 0;
  std::size_t done = 0;
  while (done < length) {
    const std::size_t want = std::min(length - done, blocks.size());
    const std::size_t count = (want + kBlock - 1) / kBlock;
    for (std::size_t b = 0; b < count; ++b, ++blockNumber) {
      uint8_t* block = blocks.data() + b * kBlock;
      std::memcpy(block, counter, 12);
      block[12] = static_cast<uint8_t>(blockNumber >> 24);
      block[13] = static_cast<uint8_t>(blockNumber >> 16);
      block[14] = static_cast<uint8_t>(blockNumber >> 8);
      block[15] = static_cast<uint8_t>(blockNumber);
    }
    int produced = 0;
    const int input = static_cast<int>(count * kBlock);
    if (EVP_EncryptUpdate(ctx.get(), stream.data(), &produced, blocks.data(), input) != 1) {
      ReportCipherFailure("CryptEncrypt() failed [%08lx]\n");
      return false;
    }
    if (produced != input) {
      std::fprintf(stderr, "CryptEncrypt() bad block count %lu\n", static_cast<unsigned long>(produced));
      Log("CryptEncrypt() bad block count %lu", static_cast<unsigned long>(produced));
      return false;
    }
    for (std::size_t i = 0; i < want; ++i) data[done + i] ^= stream[i];
    done += want;
  }
  return true;
}

DecryptResult decrypt(uint8_t* frame, std::size_t length, std::size_t available) {
  if (available < length) available = length;
  if (!IsEncryptedFrame(frame, length)) return DecryptResult::kDone;
  ImportKeyOfFolder();
  // The describing segment must be here before anything can be decided.
  if (available < kEncryptedHeaderBytes) return DecryptResult::kNeedMore;

  const uint32_t imageSize = Be32(frame + 10);
  if (imageSize > kMaxImageSize) {
    Log("%s: invalid image size; image_size=%u/%u", "decrypt", imageSize, kMaxImageSize);
    return DecryptResult::kDone;
  }
  // An end marker inside the encrypted bytes cut the candidate short.
  if (length < imageSize) return DecryptResult::kNeedMore;

  const uint32_t dataOffset = (static_cast<uint32_t>(frame[26]) << 8) | frame[27];
  const uint32_t dataSize = Be32(frame + 28);
  if (dataSize > kMaxImageSize || dataSize > imageSize ||
      static_cast<uint64_t>(dataOffset) + dataSize > imageSize) {
    Log("%s: invalid encrypted data size/offset; image_size=%u, data_size=%u, data_offset=%u", "decrypt",
        imageSize, dataSize, dataOffset);
    return DecryptResult::kDone;
  }
  if (!g_keyReady.load(std::memory_order_acquire)) return DecryptResult::kDone;
  CounterModeXor(g_key, frame + 14, frame + dataOffset, dataSize);
  return DecryptResult::kDone;
}

}  // namespace velmora
