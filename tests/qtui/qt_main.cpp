// One QApplication for every widget test, on the offscreen platform unless
// the environment names another.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  QApplication::setApplicationName("qtui-test");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
