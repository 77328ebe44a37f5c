// The one implementation of an interface that a lower layer calls upwards (the tree asks
// the fetch engine to start a device, the stream parser hands frames to the recorder).
// The upper layer installs its object once and gets a token; while the token lives the
// object is the installed one, and any further install is refused (an empty token), so
// no later assignment can silently replace it. Dropping the token uninstalls the object.
// The program's wiring holds the tokens of the core; a test holds its own.
//
// Threads: install and uninstall on one thread (the main thread, or a test's thread)
// while no caller runs; `get` may be called from any thread (the fetch workers call the
// frame recorder for every frame): one atomic load, no lock, no allocation.
#pragma once

#include <atomic>
#include <utility>
#include <vector>

namespace velmora {

// What keeps an installation in place; empty when the install was refused. Move-only.
class Installation {
 public:
  Installation() = default;
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;
  Installation(Installation&& other) noexcept
      : slot_(std::exchange(other.slot_, nullptr)), value_(std::exchange(other.value_, nullptr)) {}
  Installation& operator=(Installation&& other) noexcept {
    if (this != &other) {
      reset();
      slot_ = std::exchange(other.slot_, nullptr);
      value_ = std::exchange(other.value_, nullptr);
    }
    return *this;
  }
  ~Installation() { reset(); }

  // True while this token holds an installation.
  explicit operator bool() const { return slot_ != nullptr; }

  // Uninstalls the object this token installed (nothing for an empty token).
  void reset() {
    if (slot_ == nullptr) return;
    void* mine = value_;
    // Only this token's own object is taken out.
    slot_->compare_exchange_strong(mine, nullptr, std::memory_order_acq_rel);
    slot_ = nullptr;
    value_ = nullptr;
  }

 private:
  template <class>
  friend class Installed;
  Installation(std::atomic<void*>* slot, void* value) : slot_(slot), value_(value) {}

  std::atomic<void*>* slot_ = nullptr;
  void* value_ = nullptr;
};

// The installation place of one interface: one object at a time for the process.
template <class Interface>
class Installed {
 public:
  // Installs `object` (which must outlive the token). Empty token when another object is
  // installed: that one stays.
  [[nodiscard]] static Installation install(Interface& object) {
    void* expected = nullptr;
    void* value = static_cast<void*>(&object);
    if (!slot_.compare_exchange_strong(expected, value, std::memory_order_acq_rel)) return {};
    return Installation(&slot_, value);
  }

  // The installed object, or null: the caller then does only its own part.
  static Interface* get() noexcept { return static_cast<Interface*>(slot_.load(std::memory_order_acquire)); }

 private:
  static inline constinit std::atomic<void*> slot_{nullptr};
};

// Installs `object` as each of the interfaces, all or none: true with one token each added
// to `held`; false when any of them was installed already (then `object` is installed
// nowhere and `held` is unchanged).
template <class... Interfaces, class Object>
[[nodiscard]] bool InstallAs(Object& object, std::vector<Installation>& held) {
  std::vector<Installation> made;
  made.reserve(sizeof...(Interfaces));
  bool all = true;
  ((all = all && (made.push_back(Installed<Interfaces>::install(object)), static_cast<bool>(made.back()))), ...);
  if (!all) return false;  // the ones made go again with `made`
  for (Installation& token : made) held.push_back(std::move(token));
  return true;
}

}  // namespace velmora
