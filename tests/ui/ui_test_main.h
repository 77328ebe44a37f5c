// Widget tests: each file defines a QObject test class and registers it with
// VELMORA_UI_TEST; ui_test_main.cpp runs every registered class in one QApplication.
#pragma once

#include <QObject>

#include <functional>
#include <vector>

namespace velmora::uitest {

using Factory = std::function<QObject*()>;

// The registered test classes, in registration order.
std::vector<Factory>& Registry();

struct Registrar {
  explicit Registrar(Factory f) { Registry().push_back(std::move(f)); }
};

}  // namespace velmora::uitest

#define VELMORA_UI_TEST(Class) \
  static ::velmora::uitest::Registrar registrar_##Class([] { return static_cast<QObject*>(new Class); })
