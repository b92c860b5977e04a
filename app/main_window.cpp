#include "app/main_window.hpp"

#include "app/pairing.hpp"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QTextLayout>
#include <QVBoxLayout>
#include <algorithm>

namespace zel {
namespace {

constexpr int kMargin = 28;
constexpr int kSpacing = 18;
constexpr int kQRSide = 250;
constexpr int kQRCornerRadius = 16;
constexpr int kDetailLines = 2;
constexpr const char* kTitle = "Zel Desktop Agent";

// Sizes are in device-independent pixels so that the window measures the same at any DPI setting.
QFont pixelFont(int pixelSize, QFont::Weight weight) {
    QFont result = QGuiApplication::font();
    result.setPixelSize(pixelSize);
    result.setWeight(weight);
    return result;
}

QLabel* makeLabel(const QString& text, const QFont& labelFont, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(labelFont);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

QImage makeQRImage(const QRMatrix& matrix) {
    const GrayImage gray = renderQRImage(matrix);
    if (gray.width <= 0) {
        return {};
    }
    QImage image(gray.width, gray.height, QImage::Format_Grayscale8);
    for (int y = 0; y < gray.height; ++y) {
        std::copy_n(
            &gray.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(gray.width)],
            gray.width, image.scanLine(y));
    }
    return image;
}

QString wrapToLines(const QString& original, const QFont& font, int width, int maxLines) {
    // A multi-line text (a stack trace) flows as one paragraph, so the limit holds.
    const QString text = original.simplified();
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList lines;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            // The last visible line takes the rest, elided to fit.
            const QFontMetrics metrics(font);
            lines << metrics.elidedText(text.mid(line.textStart()).simplified(), Qt::ElideRight,
                                        width);
            break;
        }
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines.join('\n');
}

QRView::QRView(QWidget* parent) : QWidget(parent) {
    setFixedSize(kQRSide, kQRSide);
}

void QRView::setImage(const QImage& image) {
    image_ = image;
    update();
}

QRect QRView::imageRect() const {
    if (image_.isNull()) {
        return {};
    }
    const QSize fitted = image_.size().scaled(size(), Qt::KeepAspectRatio);
    return {QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted};
}

void QRView::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath rounded;
    rounded.addRoundedRect(QRectF(rect()), kQRCornerRadius, kQRCornerRadius);
    painter.fillPath(rounded, Qt::white);
    if (!image_.isNull()) {
        painter.setClipPath(rounded);
        // Smooth scaling keeps module edges even when the symbol is shrunk to fit.
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(imageRect(), image_);
    }
}

MainWindow::MainWindow(std::function<void()> onToggle)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint) {
    setWindowTitle(kTitle);
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);

    auto* title = makeLabel(kTitle, pixelFont(24, QFont::Bold), this);
    statusLabel_ = makeLabel(kIdleStatus, pixelFont(16, QFont::DemiBold), this);
    detailLabel_ = makeLabel(kIdleDetail, pixelFont(13, QFont::Normal), this);
    QPalette secondary = detailLabel_->palette();
    secondary.setColor(QPalette::WindowText, secondary.color(QPalette::PlaceholderText));
    detailLabel_->setPalette(secondary);

    qrImageView_ = new QRView(this);
    qrImageView_->hide();

    toggleButton_ = new QPushButton(kButtonStart, this);
    toggleButton_->setDefault(true);
    toggleButton_->setAutoDefault(true);
    QObject::connect(toggleButton_, &QPushButton::clicked, this,
                     [onToggle = std::move(onToggle)] { onToggle(); });

    auto* buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(12);
    buttonRow->addWidget(toggleButton_);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(kMargin, kMargin, kMargin, 0);
    column->setSpacing(kSpacing);
    column->addWidget(title);
    column->addWidget(statusLabel_);
    column->addWidget(detailLabel_);
    column->addWidget(qrImageView_, 0, Qt::AlignHCenter);
    column->addLayout(buttonRow);
    // The column hangs from the top of the window.
    column->addStretch(1);

    detailText_ = kIdleDetail;
    detailLabel_->setText(
        wrapToLines(detailText_, detailLabel_->font(), kWidth - 2 * kMargin, kDetailLines));
}

void MainWindow::show() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(kWidth / 2, kHeight / 2));
    }
    // Hidden first: a window that something else unmapped still counts as shown to Qt, and show()
    // alone would not map it again.
    if (isVisible()) {
        hide();
    }
    QWidget::show();
    raise();
    activateWindow();
    toggleButton_->setFocus();
}

void MainWindow::render(const DisplayModel& model) {
    statusLabel_->setText(QString::fromStdString(model.statusText));
    const QString detail = QString::fromStdString(model.detailText);
    if (detail != detailText_) {
        detailText_ = detail;
        detailLabel_->setText(
            wrapToLines(detail, detailLabel_->font(), kWidth - 2 * kMargin, kDetailLines));
    }
    if (model.qrImage != shownMatrix_) {
        shownMatrix_ = model.qrImage;
        qrImageView_->setImage(shownMatrix_ ? makeQRImage(*shownMatrix_) : QImage());
    }
    qrImageView_->setHidden(model.qrHidden);

    const bool reEnabled = model.buttonEnabled && !toggleButton_->isEnabled();
    toggleButton_->setText(QString::fromStdString(model.buttonTitle));
    toggleButton_->setEnabled(model.buttonEnabled);
    if (reEnabled) {
        // Space and Return act on the button again after every start.
        toggleButton_->setFocus();
    }
}

} // namespace zel
