// The window's controls: a disabled button sends nothing, an enabled one takes the focus so that
// Space presses it (the end-to-end test presses it so and reads the QR code off the screen); each
// device row's buttons name their device, and the switches mirror and report the settings; the
// instruction for the desktop's sharing dialogs is shown whole.
#include "app/main_window.hpp"
#include "platform/portal/portal_session.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() { window.show(); }
    zel::WindowActions recording() {
        zel::WindowActions actions;
        actions.toggle = [this] { ++toggles; };
        actions.disconnect = [this](const std::string& id) { log.push_back("disconnect " + id); };
        actions.remove = [this](const std::string& id) { log.emplace_back("remove " + id); };
        actions.allowTerminal = [this](bool on) {
            log.emplace_back(on ? "terminal on" : "terminal off");
        };
        actions.requireConsent = [this](bool on) {
            log.emplace_back(on ? "consent on" : "consent off");
        };
        actions.consent = [this](const std::string& request, bool allow) {
            log.push_back(request + (allow ? " allowed" : " refused"));
        };
        return actions;
    }

    int toggles = 0;
    std::vector<std::string> log;
    zel::MainWindow window{recording()};
};

TEST_F(MainWindowTest, DisabledButtonSendsNothingAndReEnabledButtonTakesFocusAndKeys) {
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

TEST_F(MainWindowTest, TheDialogsInstructionIsShownWholeWhileItIsWanted) {
    const auto shown = [&](const QString& start) -> QString {
        for (const QLabel* label : window.findChildren<QLabel*>()) {
            if (label->isVisible() && label->text().startsWith(start.left(4))) {
                return label->text();
            }
        }
        return {};
    };
    zel::DisplayModel model;
    model.statusText = zel::kReadyStatus;
    model.detailText = zel::kReadyDetail;
    // The instruction, and what takes its place after the desktop's "no" or failure.
    for (const char* consent : {zel::kPortalConsentHint, zel::portal::kScreenRefusedText,
                                zel::portal::kControlRefusedText, zel::portal::kSharingEndedText,
                                zel::portal::kPortalFailedText}) {
        model.consentText = consent;
        window.render(model);
        const QString text = shown(consent);
        EXPECT_GT(text.count('\n'), 0) << "wrapped to the window's width";
        EXPECT_EQ(QString(text).remove('\n'), QString(consent)) << text.toStdString();
    }
    model.consentText.clear();
    window.render(model);
    EXPECT_EQ(shown(zel::kPortalConsentHint), QString());
}

TEST_F(MainWindowTest, DeviceRowsAndSwitchesCallTheirActionsWithTheirDevice) {
    zel::DisplayModel model;
    model.devices = {{"d1", "Android · Chrome", "实时画面"}, {"d2", "claude", "AI 会话"}};
    model.pairButtonShown = true;
    model.allowTerminal = false;
    window.render(model);
    const auto click = [&](const QString& name) {
        auto* control = window.findChild<QPushButton*>(name);
        ASSERT_NE(control, nullptr) << name.toStdString();
        EXPECT_TRUE(control->isVisible()) << name.toStdString();
        QTest::mouseClick(control, Qt::LeftButton);
    };
    click("disconnect:d2");
    click("remove:d1");
    for (auto* box : window.findChildren<QCheckBox*>()) {
        EXPECT_EQ(box->isChecked(), false) << box->text().toStdString();
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    }
    EXPECT_EQ(
        log, (std::vector<std::string>{"disconnect d2", "remove d1", "terminal on", "consent on"}));
    // The list follows the model: a removed device's row is gone.
    model.devices.pop_back();
    window.render(model);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(window.findChild<QPushButton*>("disconnect:d2"), nullptr);
    EXPECT_NE(window.findChild<QPushButton*>("disconnect:d1"), nullptr);
}

// The consent question: the owner's button answers it once; one whose time is over closes with
// no answer.
TEST_F(MainWindowTest, ConsentQuestionsAnswerOnceOrCloseUnanswered) {
    const auto box = [&](const std::string& name) -> QMessageBox* {
        for (auto* candidate : window.findChildren<QMessageBox*>()) {
            if (candidate->isVisible() &&
                candidate->text().contains(QString::fromStdString(name))) {
                return candidate;
            }
        }
        return nullptr;
    };
    const auto press = [&](const std::string& name, const QString& label) {
        QMessageBox* question = box(name);
        ASSERT_NE(question, nullptr) << name;
        for (auto* button : question->buttons()) {
            if (button->text() == label) {
                QTest::mouseClick(button, Qt::LeftButton);
            }
        }
    };
    window.askConsent("r1", "Android · Chrome");
    window.askConsent("r2", "iPhone · Safari");
    window.askConsent("r3", "API 客户端");
    press("Android", "允许");
    press("iPhone", "拒绝");
    window.endConsent("r3");
    QApplication::processEvents();
    EXPECT_EQ(box("API"), nullptr);
    window.endConsent("r1"); // already answered: nothing more
    EXPECT_EQ(log, (std::vector<std::string>{"r1 allowed", "r2 refused"}));
}

} // namespace

int main(int argc, char** argv) {
    // Widgets need the application object for the whole run.
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
