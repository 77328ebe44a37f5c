// The range scroll bar under the timeline: it moves the shown range of recorded time
// along the full range. Its range is the full range in seconds, its page the shown
// range, its position the shown start's distance from the full start; a line step is a
// quarter of the shown range and a page step all of it. The shown range never leaves
// the full range, and the bar is disabled when the shown range covers the full range.
// The scroll only moves the model; when it ends, the caller asks the playback thread
// for a feed of the new range (with the zoom position reset).
//
// The bar's integer values (for a scroll-bar widget) are whole seconds; the model keeps
// the range itself in seconds with milliseconds so that no scroll step drifts.
#pragma once

#include <optional>

namespace velmora::control {

enum class RangeScrollAction {
  kLineLeft,
  kLineRight,
  kPageLeft,
  kPageRight,
  kThumb,  // to the position given (whole seconds from the full start)
  kStart,  // all the way left
  kEnd,    // all the way right
};

// What a scroll-bar widget shows: minimum 0, maximum = full - page (the widget's own
// convention: the position is where the page starts), page, line and position in whole
// seconds.
struct RangeScrollBar {
  int maximum = 0;
  int page = 1;
  int line = 1;
  int position = 0;
  bool enabled = false;
};

struct ShownRange {
  double start = 0;
  double end = 0;
};

class RangeScroll {
 public:
  // A new feed: all recorded material (full) and what the timeline shows (shown), in
  // seconds. An empty or inverted full range, or a shown range of no length, leaves the
  // bar disabled.
  void SetRanges(double fullStart, double fullEnd, double shownStart, double shownEnd);
  // No feed: disabled, nothing to scroll.
  void Clear();

  RangeScrollBar bar() const;
  bool enabled() const;
  ShownRange shown() const { return {start_, start_ + length_}; }

  // One scroll step; true when the shown range moved.
  bool Scroll(RangeScrollAction action, int thumbSeconds = 0);
  // The scroll ended: the range to request when it differs from the one last fed,
  // which then counts as fed.
  std::optional<ShownRange> End();

 private:
  double Clamp(double start) const;

  bool known_ = false;
  double fullStart_ = 0;
  double fullEnd_ = 0;
  double start_ = 0;
  double length_ = 0;
  double fedStart_ = 0;
};

}  // namespace velmora::control
