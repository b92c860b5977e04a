// The window mirrors the display model; it decides nothing itself.
#include "app/main_window.hpp"
#include "app/pairing.hpp"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// The widgets as a user finds them: the title, status and detail labels in that order.
struct Widgets {
    explicit Widgets(zel::MainWindow& window)
        : labels(window.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)),
          button(window.findChild<QPushButton*>()) {
        for (QWidget* widget : window.findChildren<QWidget*>()) { // QRView has no meta-object
            qr = qr != nullptr ? qr : dynamic_cast<zel::QRView*>(widget);
        }
    }
    QList<QLabel*> labels;
    QPushButton* button;
    zel::QRView* qr = nullptr;
};

TEST(MainWindow, ViewsFollowEveryDisplayState) {
    const auto qr = zel::makeQRCode("zel://x");
    const std::pair<const char*, zel::DisplayModel> states[] = {
        {"starting", {"未开启", zel::kIdleDetail, true, std::nullopt, false, "开启中..."}},
        {"ready", {"已就绪", "保持这个窗口打开。", false, qr, true, "关闭"}},
        {"failed",
         {"启动失败", "缺少 cloudflared，请重新获取完整安装包。", true, qr, true, "开启"}},
    };
    int toggles = 0;
    zel::MainWindow window([&] { ++toggles; });
    window.show();
    const Widgets widgets(window);
    ASSERT_EQ(widgets.labels.size(), 3);
    for (const auto& [name, model] : states) {
        SCOPED_TRACE(name);
        window.render(model);
        EXPECT_EQ(widgets.labels[1]->text().toStdString(), model.statusText);
        EXPECT_EQ(widgets.labels[2]->text().simplified().remove(' ').toStdString(),
                  QString::fromStdString(model.detailText).remove(' ').toStdString());
        EXPECT_EQ(widgets.qr->isVisible(), !model.qrHidden);
        EXPECT_EQ(widgets.button->text().toStdString(), model.buttonTitle);
        EXPECT_EQ(widgets.button->isEnabled(), model.buttonEnabled);
    }
    EXPECT_EQ(toggles, 0) << "rendering never presses the button";
}

TEST(MainWindow, DisabledButtonSendsNothingAndReEnabledButtonTakesFocusAndKeys) {
    int toggles = 0;
    zel::MainWindow window([&] { ++toggles; });
    window.show();
    QApplication::setActiveWindow(&window);
    QPushButton* button = Widgets(window).button;
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
