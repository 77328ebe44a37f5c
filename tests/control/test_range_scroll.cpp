// The range scroll bar model: the amounts of each step, the shown range kept inside the
// full range, when the bar is disabled, and which scrolls end in a new feed.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "control/range_scroll.h"

namespace velmora::control {
namespace {

constexpr double kFullStart = 1796738400.0;  // 14:00:00
constexpr double kDay = 86400.0;

TEST(RangeScroll, StepsMoveByAQuarterOrAWholeShownRangeAndStayInside) {
  RangeScroll scroll;
  // Three days recorded, the last two hours shown (with milliseconds at both ends).
  const double fullEnd = kFullStart + 3 * kDay + 0.250;
  const double shownStart = fullEnd - 7200.0;
  scroll.SetRanges(kFullStart, fullEnd, shownStart, fullEnd);
  RangeScrollBar bar = scroll.bar();
  EXPECT_TRUE(bar.enabled);
  EXPECT_EQ(bar.page, 7200);
  EXPECT_EQ(bar.line, 1800);
  EXPECT_EQ(bar.maximum, 3 * 86400 - 7200);
  EXPECT_EQ(bar.position, bar.maximum) << "the shown range ends where the material does";

  // Nothing lies right of the end: no step, and no new feed.
  EXPECT_FALSE(scroll.Scroll(RangeScrollAction::kLineRight));
  EXPECT_FALSE(scroll.Scroll(RangeScrollAction::kPageRight));
  EXPECT_FALSE(scroll.End().has_value());

  // A line is a quarter of the shown range, a page all of it; the length never changes.
  EXPECT_TRUE(scroll.Scroll(RangeScrollAction::kLineLeft));
  EXPECT_NEAR(scroll.shown().start, shownStart - 1800.0, 1e-6);
  EXPECT_TRUE(scroll.Scroll(RangeScrollAction::kPageLeft));
  EXPECT_NEAR(scroll.shown().start, shownStart - 9000.0, 1e-6);
  EXPECT_NEAR(scroll.shown().end - scroll.shown().start, 7200.0, 1e-6);
  EXPECT_EQ(scroll.bar().position, bar.maximum - 9000);

  // The scroll ends: the range to feed, once.
  const auto fed = scroll.End();
  ASSERT_TRUE(fed.has_value());
  EXPECT_NEAR(fed->start, shownStart - 9000.0, 1e-6);
  EXPECT_NEAR(fed->end, fullEnd - 9000.0, 1e-6);
  EXPECT_FALSE(scroll.End().has_value()) << "already fed";

  // Pages left past the start stop at the full start, the milliseconds kept.
  for (int i = 0; i < 100; ++i) scroll.Scroll(RangeScrollAction::kPageLeft);
  EXPECT_DOUBLE_EQ(scroll.shown().start, kFullStart);
  EXPECT_EQ(scroll.bar().position, 0);
  EXPECT_FALSE(scroll.Scroll(RangeScrollAction::kLineLeft));

  // The thumb: a whole-second position from the full start; its last position is the
  // very end (milliseconds included), beyond it is kept inside.
  EXPECT_TRUE(scroll.Scroll(RangeScrollAction::kThumb, 86400));
  EXPECT_DOUBLE_EQ(scroll.shown().start, kFullStart + kDay);
  EXPECT_TRUE(scroll.Scroll(RangeScrollAction::kThumb, bar.maximum));
  EXPECT_DOUBLE_EQ(scroll.shown().end, fullEnd);
  EXPECT_TRUE(scroll.Scroll(RangeScrollAction::kThumb, -5));
  EXPECT_DOUBLE_EQ(scroll.shown().start, kFullStart);
  EXPECT_TRUE(scroll.Scroll(RangeScrollAction::kEnd));
  EXPECT_DOUBLE_EQ(scroll.shown().end, fullEnd);
  EXPECT_TRUE(scroll.Scroll(RangeScrollAction::kStart));
  // Scrolled away and back to where it was fed: no new feed.
  EXPECT_TRUE(scroll.End().has_value());
  EXPECT_TRUE(scroll.Scroll(RangeScrollAction::kLineRight));
  EXPECT_TRUE(scroll.Scroll(RangeScrollAction::kLineLeft));
  EXPECT_FALSE(scroll.End().has_value());
}

TEST(RangeScroll, DisabledWhenThereIsNothingToScroll) {
  RangeScroll scroll;
  EXPECT_FALSE(scroll.bar().enabled) << "no feed yet";
  EXPECT_FALSE(scroll.Scroll(RangeScrollAction::kPageRight));

  // The shown range covers the full range (within a millisecond).
  scroll.SetRanges(kFullStart, kFullStart + 600.0, kFullStart, kFullStart + 599.9996);
  EXPECT_FALSE(scroll.bar().enabled);
  EXPECT_EQ(scroll.bar().maximum, 0);
  EXPECT_FALSE(scroll.Scroll(RangeScrollAction::kLineLeft));
  EXPECT_FALSE(scroll.End().has_value());

  // A shown range reaching beyond the full range (newer recordings not yet counted) is
  // cut to it, and scrolls nowhere.
  scroll.SetRanges(kFullStart, kFullStart + 600.0, kFullStart + 300.0, kFullStart + 1500.0);
  EXPECT_FALSE(scroll.bar().enabled);
  EXPECT_DOUBLE_EQ(scroll.shown().start, kFullStart);
  EXPECT_DOUBLE_EQ(scroll.shown().end, kFullStart + 600.0);

  // Damaged ranges disable the bar instead of producing absurd positions.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (auto [fs, fe, ss, se] : {std::array<double, 4>{kFullStart, kFullStart, kFullStart, kFullStart + 1},
                                std::array<double, 4>{kFullStart + 10, kFullStart, kFullStart, kFullStart + 1},
                                std::array<double, 4>{kFullStart, kFullStart + 100, kFullStart + 5, kFullStart + 5},
                                std::array<double, 4>{nan, kFullStart, kFullStart, kFullStart + 1},
                                std::array<double, 4>{kFullStart, kFullStart + 100, nan, kFullStart + 1}}) {
    scroll.SetRanges(fs, fe, ss, se);
    EXPECT_FALSE(scroll.bar().enabled);
    EXPECT_FALSE(scroll.Scroll(RangeScrollAction::kLineRight));
    EXPECT_FALSE(scroll.End().has_value());
  }

  // A short shown range: the line step is still at least one second on the bar, while
  // the model moves by the exact quarter.
  scroll.SetRanges(kFullStart, kFullStart + 100.0, kFullStart + 50.0, kFullStart + 52.0);
  EXPECT_TRUE(scroll.bar().enabled);
  EXPECT_EQ(scroll.bar().line, 1);
  EXPECT_EQ(scroll.bar().page, 2);
  EXPECT_TRUE(scroll.Scroll(RangeScrollAction::kLineRight));
  EXPECT_NEAR(scroll.shown().start, kFullStart + 50.5, 1e-9);

  scroll.Clear();
  EXPECT_FALSE(scroll.bar().enabled);
}

}  // namespace
}  // namespace velmora::control
