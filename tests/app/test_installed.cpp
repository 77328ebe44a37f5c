#include "app/installed.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace velmora {
namespace {

struct Greeter {
  virtual ~Greeter() = default;
  virtual int greet() = 0;
};

struct Numbered final : Greeter {
  explicit Numbered(int n) : number(n) {}
  int greet() override { return number; }
  int number;
};

// A second interface: its place is separate from Greeter's.
struct Other {
  virtual ~Other() = default;
};
struct OtherImpl final : Other {};

TEST(Installed, SecondInstallIsRefusedAndTheFirstStaysUntilItsTokenGoes) {
  Numbered first(1), second(2);
  ASSERT_EQ(Installed<Greeter>::get(), nullptr);
  {
    Installation held = Installed<Greeter>::install(first);
    ASSERT_TRUE(held);
    Installation refused = Installed<Greeter>::install(second);
    EXPECT_FALSE(refused);
    EXPECT_EQ(Installed<Greeter>::get()->greet(), 1);
    // Dropping the refused token takes nothing out.
    refused.reset();
    EXPECT_EQ(Installed<Greeter>::get(), &first);
    // Another interface is installed beside it.
    OtherImpl other;
    Installation otherHeld = Installed<Other>::install(other);
    EXPECT_TRUE(otherHeld);
    EXPECT_EQ(Installed<Greeter>::get(), &first);
  }
  EXPECT_EQ(Installed<Greeter>::get(), nullptr);
  EXPECT_EQ(Installed<Other>::get(), nullptr);
  // Once the first token went, a new object can be installed.
  Installation again = Installed<Greeter>::install(second);
  EXPECT_TRUE(again);
  EXPECT_EQ(Installed<Greeter>::get()->greet(), 2);
}

TEST(Installed, MovedTokenKeepsTheInstallationAndReleasesItOnce) {
  Numbered first(1), second(2);
  Installation target;
  {
    Installation held = Installed<Greeter>::install(first);
    target = std::move(held);
    EXPECT_FALSE(held);  // NOLINT(bugprone-use-after-move): a moved token is empty
  }
  // The moved-from token's end did not uninstall.
  EXPECT_EQ(Installed<Greeter>::get(), &first);
  // Assigning over a holding token uninstalls what it held first.
  target = Installed<Greeter>::install(second);
  EXPECT_FALSE(target);
  EXPECT_EQ(Installed<Greeter>::get(), nullptr);
  target = Installed<Greeter>::install(second);
  EXPECT_TRUE(target);
  EXPECT_EQ(Installed<Greeter>::get(), &second);
  target.reset();
  EXPECT_EQ(Installed<Greeter>::get(), nullptr);
}

// One object standing in for several interfaces is installed as all of them or as none.
struct Both final : Greeter, Other {
  int greet() override { return 3; }
};

TEST(Installed, InstallAsIsAllOrNone) {
  Both both;
  OtherImpl other;
  std::vector<Installation> held;
  {
    Installation otherHeld = Installed<Other>::install(other);
    // Greeter is free, Other is taken: Greeter is not left installed.
    EXPECT_FALSE((InstallAs<Greeter, Other>(both, held)));
    EXPECT_TRUE(held.empty());
    EXPECT_EQ(Installed<Greeter>::get(), nullptr);
    EXPECT_EQ(Installed<Other>::get(), &other);
  }
  ASSERT_TRUE((InstallAs<Greeter, Other>(both, held)));
  EXPECT_EQ(held.size(), 2u);
  EXPECT_EQ(Installed<Greeter>::get()->greet(), 3);
  EXPECT_EQ(Installed<Other>::get(), static_cast<Other*>(&both));
  // A second wiring of the same interfaces is refused; the first stays.
  Both second;
  EXPECT_FALSE((InstallAs<Greeter>(second, held)));
  EXPECT_EQ(Installed<Greeter>::get(), static_cast<Greeter*>(&both));
  held.clear();
  EXPECT_EQ(Installed<Greeter>::get(), nullptr);
  EXPECT_EQ(Installed<Other>::get(), nullptr);
}

}  // namespace
}  // namespace velmora
