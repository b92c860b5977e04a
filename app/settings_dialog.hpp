// The connection's settings: where the phone reaches this computer (a quick tunnel, the owner's
// named tunnel, an address the owner routes) and whether the app starts at login.
#pragma once

#include "app/display_model.hpp"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace zel {

class SettingsDialog final : public QDialog {
public:
    SettingsDialog(const DisplayModel& model, WindowActions actions, QWidget* parent);

private:
    void showFields();
    void save();

    WindowActions actions_;
    QComboBox* kind_;
    QLineEdit* token_;
    QLineEdit* hostname_;
    QLineEdit* url_;
    QCheckBox* startAtLogin_;
    QLabel* problem_;
};

} // namespace zel
