// A stand-in for the layers above the one under test: each call the lower layers make
// upwards goes to a function the test sets (none set: the call does nothing, as when
// nothing is installed). A fixture installs the interfaces it stands in for; they are
// uninstalled when the object goes (or with uninstall()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/installed.h"
#include "live/fetch.h"
#include "live/stream.h"
#include "model/group_record.h"
#include "net/discovery.h"

namespace velmora::test {

class UpperLayerCalls final : public DeviceFetch,
                              public DeviceRecording,
                              public NewestImages,
                              public FrameRecorder,
                              public LastRecordedImages,
                              public net::DiscoverySelection {
 public:
  std::function<void(GroupRecord&)> onStartFetch;
  std::function<void(GroupRecord&)> onStopFetch;
  std::function<void(GroupRecord&)> onClearRecordingMark;
  std::function<void(GroupRecord&)> onCloseRecordings;
  std::function<std::shared_ptr<Image>(const GroupRecord&, const std::string&)> onNewestImage;
  std::function<void(GroupRecord&, ImageHolder&, uint8_t*, std::size_t)> onRecordFrame;
  std::function<bool(const GroupRecord&, std::vector<uint8_t>&)> onLastRecordedImage;
  std::function<void(GroupRecord&)> onSelectEntry;

  UpperLayerCalls() = default;
  ~UpperLayerCalls() override { uninstall(); }
  UpperLayerCalls(const UpperLayerCalls&) = delete;
  UpperLayerCalls& operator=(const UpperLayerCalls&) = delete;

  // Installs this object as each of the interfaces; false when one was installed already.
  template <class... Interfaces>
  bool install() {
    return InstallAs<Interfaces...>(*this, held_);
  }
  void uninstall() { held_.clear(); }

  void startFetch(GroupRecord& r) override { Call(onStartFetch, r); }
  void stopFetch(GroupRecord& r) override { Call(onStopFetch, r); }
  void clearRecordingMark(GroupRecord& r) override { Call(onClearRecordingMark, r); }
  void closeRecordings(GroupRecord& r) override { Call(onCloseRecordings, r); }
  void selectEntry(GroupRecord& r) override { Call(onSelectEntry, r); }
  std::shared_ptr<Image> newestImage(const GroupRecord& r, const std::string& folder) override {
    return onNewestImage ? onNewestImage(r, folder) : nullptr;
  }
  void recordFrame(GroupRecord& r, ImageHolder& frame, uint8_t* headroom, std::size_t length) override {
    if (onRecordFrame) onRecordFrame(r, frame, headroom, length);
  }
  bool lastRecordedImage(const GroupRecord& r, std::vector<uint8_t>& jpeg) override {
    return onLastRecordedImage && onLastRecordedImage(r, jpeg);
  }

 private:
  static void Call(const std::function<void(GroupRecord&)>& f, GroupRecord& r) {
    if (f) f(r);
  }

  std::vector<Installation> held_;
};

}  // namespace velmora::test
