// The one window: title, status line, detail line, pairing QR code, the toggle button, the paired
// devices with a way to cut each off, and the owner's switches. It only mirrors the display model;
// the controller decides what it shows, and the controls call the controller's actions.
#pragma once

#include "app/display_model.hpp"

#include <QImage>
#include <QWidget>
#include <functional>
#include <map>
#include <optional>

class QCheckBox;
class QLabel;
class QMessageBox;
class QPushButton;
class QVBoxLayout;

namespace zel {

// The QR symbol as an image: 12 × 12 pixels a module, black on white.
QImage makeQRImage(const QRMatrix& matrix);

// The text cut to at most `maxLines` lines of `width` pixels, wrapped at word boundaries (anywhere
// inside a word too long for a line), the last line elided when text remains.
QString wrapToLines(const QString& text, const QFont& font, int width, int maxLines);

// White rounded square that shows an image whole, scaled proportionally to fit.
class QRView final : public QWidget {
public:
    explicit QRView(QWidget* parent = nullptr);
    void setImage(const QImage& image);
    [[nodiscard]] const QImage& image() const { return image_; }
    // Where the image is drawn inside the view.
    [[nodiscard]] QRect imageRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
};

class MainWindow final : public QWidget, public WindowView {
public:
    static constexpr int kWidth = 420;
    // The least height; the device list makes the window taller.
    static constexpr int kHeight = 520;

    explicit MainWindow(WindowActions actions);
    ~MainWindow() override;

    void show() override;
    void render(const DisplayModel& model) override;
    void notify(const std::string& title, const std::string& body) override;
    void askConsent(const std::string& request, const std::string& name) override;
    void endConsent(const std::string& request) override;

protected:
    void changeEvent(QEvent* event) override;

private:
    void renderDevices(const std::vector<DeviceRow>& devices);

    WindowActions actions_;
    QLabel* statusLabel_;
    QLabel* detailLabel_;
    QLabel* consentLabel_;
    QRView* qrImageView_;
    QPushButton* toggleButton_;
    QPushButton* pairButton_;
    QWidget* deviceList_;
    QVBoxLayout* deviceRows_;
    QCheckBox* terminalSwitch_;
    QCheckBox* consentSwitch_;
    QPushButton* settingsButton_;
    DisplayModel shownModel_;
    QString detailText_;
    std::optional<QRMatrix> shownMatrix_;
    std::vector<DeviceRow> shownDevices_;
    std::map<std::string, QMessageBox*> consentBoxes_;
};

} // namespace zel
