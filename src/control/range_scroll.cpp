#include "control/range_scroll.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velmora::control {

namespace {

// A scroll-bar value in whole seconds; decades of recordings fit an int easily, but a
// damaged range must not overflow the conversion.
int WholeSeconds(double seconds) {
  const double limit = static_cast<double>(std::numeric_limits<int>::max());
  return static_cast<int>(std::clamp(std::round(seconds), 0.0, limit));
}

// Positions closer than a millisecond are the same: ranges are stored in milliseconds.
bool SamePlace(double a, double b) { return std::fabs(a - b) < 0.0005; }

}  // namespace

void RangeScroll::SetRanges(double fullStart, double fullEnd, double shownStart, double shownEnd) {
  const double length = shownEnd - shownStart;
  if (!(fullEnd > fullStart) || !(length > 0) || !std::isfinite(fullStart) || !std::isfinite(fullEnd)) {
    Clear();
    return;
  }
  known_ = true;
  fullStart_ = fullStart;
  fullEnd_ = fullEnd;
  // A shown range wider than the full range (a feed asked for before the newest
  // recordings were counted) scrolls nowhere.
  length_ = std::min(length, fullEnd - fullStart);
  start_ = Clamp(shownStart);
  fedStart_ = start_;
}

void RangeScroll::Clear() {
  known_ = false;
  fullStart_ = fullEnd_ = start_ = length_ = fedStart_ = 0;
}

bool RangeScroll::enabled() const {
  // Covering the full range up to a millisecond leaves nothing to scroll.
  return known_ && length_ < (fullEnd_ - fullStart_) - 0.0005;
}

RangeScrollBar RangeScroll::bar() const {
  RangeScrollBar bar;
  if (!known_) return bar;
  bar.enabled = enabled();
  bar.page = std::max(1, WholeSeconds(length_));
  bar.line = std::max(1, WholeSeconds(length_ / 4));
  bar.maximum = std::max(0, WholeSeconds(fullEnd_ - fullStart_) - bar.page);
  bar.position = std::min(bar.maximum, WholeSeconds(start_ - fullStart_));
  return bar;
}

double RangeScroll::Clamp(double start) const {
  return std::clamp(start, fullStart_, std::max(fullStart_, fullEnd_ - length_));
}

bool RangeScroll::Scroll(RangeScrollAction action, int thumbSeconds) {
  if (!enabled()) return false;
  double start = start_;
  switch (action) {
    case RangeScrollAction::kLineLeft: start -= length_ / 4; break;
    case RangeScrollAction::kLineRight: start += length_ / 4; break;
    case RangeScrollAction::kPageLeft: start -= length_; break;
    case RangeScrollAction::kPageRight: start += length_; break;
    case RangeScrollAction::kThumb: {
      // The thumb's last position is the end itself: the range ends where the material does.
      const RangeScrollBar b = bar();
      start = thumbSeconds >= b.maximum ? fullEnd_ - length_ : fullStart_ + std::max(0, thumbSeconds);
      break;
    }
    case RangeScrollAction::kStart: start = fullStart_; break;
    case RangeScrollAction::kEnd: start = fullEnd_ - length_; break;
  }
  start = Clamp(start);
  if (SamePlace(start, start_)) return false;
  start_ = start;
  return true;
}

std::optional<ShownRange> RangeScroll::End() {
  if (!known_ || SamePlace(start_, fedStart_)) return std::nullopt;
  fedStart_ = start_;
  return shown();
}

}  // namespace velmora::control
