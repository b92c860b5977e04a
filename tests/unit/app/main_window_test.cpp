// The window's one control: a disabled button sends nothing, an enabled one takes the focus so
// that Space presses it (the end-to-end test presses it so and reads the QR code off the screen).
#include "app/main_window.hpp"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

TEST(MainWindow, DisabledButtonSendsNothingAndReEnabledButtonTakesFocusAndKeys) {
    int toggles = 0;
    zel::MainWindow window([&] { ++toggles; });
    window.show();
    QApplication::setActiveWindow(&window);
    auto* button = window.findChild<QPushButton*>();
    ASSERT_NE(button, nullptr);
    zel::DisplayModel model;
    model.buttonEnabled = false;
    window.render(model);
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::keyClick(&window, Qt::Key_Space);
    EXPECT_EQ(toggles, 0);
    model.buttonEnabled = true;
    window.render(model);
    EXPECT_TRUE(button->hasFocus());
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(toggles, 2);
}

} // namespace

int main(int argc, char** argv) {
    // Widgets need the application object for the whole run.
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
