// Frames whose image data is AES-encrypted: they begin FF D8 FF EA, and the APP10
// segment behind the start marker carries the frame's total size, a 12-byte counter
// block and the offset and size of the encrypted bytes (all numbers big-endian):
//
//   0  FF D8   2  FF EA   4  segment length   6  (unused)
//   10 image_size   14 counter bytes 0..11   26 data_offset (16 bits)   28 data_size
//
// The encrypted bytes are decrypted in place with AES in counter mode: the keystream
// block i is the encryption of the 12 counter bytes followed by i as a 32-bit big-endian
// number. The key is configuration data: the built-in key, or the key file
// "Velmora NVR.key" in the application-data folder (the key's bytes, or their
// hexadecimal digits). It is read once, on the first encrypted frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

constexpr const char* kFrameKeyFileName = "Velmora NVR.key";
// Bytes of the segment that describe an encrypted frame.
constexpr std::size_t kEncryptedHeaderBytes = 32;

enum class DecryptResult {
  kDone = 1,      // not encrypted, decrypted, or refused (the frame is used as it is)
  kNeedMore = 2,  // the frame is longer than the candidate: wait for more bytes
};

// True when the bytes begin FF D8 FF EA.
bool IsEncryptedFrame(const uint8_t* frame, std::size_t length);

// Examines the candidate frame [frame, frame + length) and decrypts it in place when it
// is encrypted and complete. available (>= length) is how many bytes are held from
// frame on: the segment is read from them even when a stray end marker inside it cut
// the candidate short. Never reads or writes beyond frame + available.
DecryptResult decrypt(uint8_t* frame, std::size_t length, std::size_t available);

// Reads the key (the key file in folder, else the built-in key) if that has not
// happened yet; true when a key is ready. Thread-safe; only the first call reads.
bool ImportFrameKey(const std::string& folder);
// Where the first encrypted frame reads the key file from (the program's data folder;
// empty, as before the first call: the built-in key). Set by the start-up before any
// fetch begins; a key already imported stays until ResetFrameKey.
void SetFrameKeyFolder(const std::string& folder);
// Forgets the imported key so that the next encrypted frame imports it again (tests
// and a key change; not while frames are being decrypted).
void ResetFrameKey();
// Parses the content of a key file: 16, 24 or 32 raw bytes, or as many pairs of
// hexadecimal digits (white space around them ignored). False for anything else.
bool ParseFrameKey(const std::string& content, std::vector<uint8_t>& key);

// Counter-mode keystream over data (length bytes) with the given key and the 12-byte
// counter block, block numbers from 0. False when the cipher library fails.
bool CounterModeXor(const std::vector<uint8_t>& key, const uint8_t counter[12], uint8_t* data,
                    std::size_t length);

}  // namespace velmora
