// The one window: title, status line, detail line, pairing QR code and the toggle button. It only
// mirrors the display model; the controller decides what it shows.
#pragma once

#include "app/display_model.hpp"

#include <QImage>
#include <QWidget>
#include <functional>
#include <optional>

class QLabel;
class QPushButton;

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
    static constexpr int kHeight = 520;

    explicit MainWindow(std::function<void()> onToggle);

    void show() override;
    void render(const DisplayModel& model) override;

private:
    QLabel* statusLabel_;
    QLabel* detailLabel_;
    QRView* qrImageView_;
    QPushButton* toggleButton_;
    QString detailText_;
    std::optional<QRMatrix> shownMatrix_;
};

} // namespace zel
