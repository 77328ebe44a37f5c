// Runs every registered QtTest class on the offscreen platform; the exit status counts the
// classes that failed. Arguments go to each class (for example -v2, or a function name).
#include <QApplication>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ui_test_main.h"

namespace velmora::uitest {

std::vector<Factory>& Registry() {
  static std::vector<Factory> registry;
  return registry;
}

}  // namespace velmora::uitest

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  int failed = 0;
  int run = 0;
  for (const auto& make : velmora::uitest::Registry()) {
    std::unique_ptr<QObject> test(make());
    if (QTest::qExec(test.get(), argc, argv) != 0) ++failed;
    ++run;
  }
  std::printf("%d passed, %d failed\n", run - failed, failed);
  return failed == 0 ? 0 : 1;
}
