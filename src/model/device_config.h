// The saved configuration of a device-tree entry: what the device tree file holds of it
// and the property sheet edits, as one value type that is copied and compared in one
// assignment. GroupRecord holds it as its base, next to the run-time state of the layers
// (fetch, recording, views); the recorder copies the motion slice per frame, and the
// device edit reads a copy, changes it and hands it back.
//
// Threads: a copy is anybody's. In a record, the fields follow the record's locking rules
// (model/group_record.h): the main thread writes them, most under the record's
// fetchLock, as noted at each field.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace velmora {

// How motion is detected and shown for a device (the motion group of the recording page).
// Read by the recorder, written under the record's fetchLock.
struct MotionConfig {
  bool motionEnabled = true;
  bool motionAlert = false;
  bool ignoreGradualChanges = true;
  bool requireMultipleZones = false;
  bool motionShow = false;
  uint32_t motionType = 0;    // 0 simple, 1 advanced, 2 camera-supplied
  uint32_t sensitivity = 11;  // 0 (low) to 15 (high); values outside are clamped
  uint16_t grid4x4 = 0xFFFF;  // bit (row x 4 + column), row 0 at the top: the zone is watched

  bool operator==(const MotionConfig&) const = default;
};

struct DeviceConfig : MotionConfig {
  int32_t kind = -1;     // EntryKind; fixed once the record is in the tree
  std::string name;      // written under fetchLock (and recordLock during a rename)
  std::string uuid;      // 36 lower-case characters; fixed for the life of the entry
  std::string hwAddr;    // "xxxxxx-xxxxxx"; main thread only
  std::string location;  // host[:port], image URL, or recordings folder (storage); written under fetchLock
  std::string username;  // written under fetchLock
  std::string password;  // written under fetchLock
  // SHA-256 fingerprint (64 lower-case hex digits) of the certificate an HTTPS device
  // was first seen with, which later connections must present; "" while none is kept.
  // Written under fetchLock (by the main thread).
  std::string certificate;
  // The authentication scheme the device was last seen to use, kept so that its
  // password is not sent before it asks: kAuthSchemeDigest once an answer to its Digest
  // challenge was accepted, "" while none is known. Written under fetchLock by the main
  // thread (a worker reports it with a message).
  std::string authScheme;
  // Credentials go out only as the answer to a challenge of the device, never with the
  // first request. On for entries added from now on; an entry of an older tree file
  // keeps sending Basic with its first request (its camera may never challenge) unless
  // it is known to use Digest. A video server's cameras take its value. Written under
  // fetchLock.
  bool sendPasswordOnlyWhenAsked = false;
  int32_t debugLevel = 0;  // written under fetchLock (a worker raises it under it too)
  bool syncTime = false;   // main thread only (the clock check runs there)
  bool enabled = false;    // written under fetchLock
  bool recording = false;  // written under fetchLock
  uint32_t updateDelay = 0;  // ms; below 1000 a stream, from 1000 single images; written under fetchLock
  int32_t archiveTime = 0;   // seconds; main thread only (the removal pass gets a copy)
  // The schedule: read by the recorder, written under fetchLock.
  bool scheduleEnabled = false;
  std::array<bool, 7> daysOfWeek{};   // index = local weekday, 0 = Sunday
  std::array<bool, 24> hoursOfDay{};  // index = local hour
  int32_t cameraIndex = 0;  // channel 0-15 of a camera in its video server; main thread

  bool operator==(const DeviceConfig&) const = default;
};

}  // namespace velmora
