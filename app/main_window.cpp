#include "app/main_window.hpp"

#include "app/pairing.hpp"
#include "app/settings_dialog.hpp"

#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
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
// The dialogs' instruction is read whole: room enough never to elide it.
constexpr int kConsentLines = 8;
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

MainWindow::MainWindow(WindowActions actions)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      actions_(std::move(actions)) {
    setWindowTitle(kTitle);
    setFixedWidth(kWidth);
    setMinimumHeight(kHeight);
    setAutoFillBackground(true);

    auto* title = makeLabel(kTitle, pixelFont(24, QFont::Bold), this);
    statusLabel_ = makeLabel(kIdleStatus, pixelFont(16, QFont::DemiBold), this);
    detailLabel_ = makeLabel(kIdleDetail, pixelFont(13, QFont::Normal), this);
    QPalette secondary = detailLabel_->palette();
    secondary.setColor(QPalette::WindowText, secondary.color(QPalette::PlaceholderText));
    detailLabel_->setPalette(secondary);
    // The dialogs' instruction is read whole: wrapped, never elided.
    consentLabel_ = makeLabel({}, pixelFont(13, QFont::DemiBold), this);
    consentLabel_->hide();

    qrImageView_ = new QRView(this);
    qrImageView_->hide();

    toggleButton_ = new QPushButton(kButtonStart, this);
    toggleButton_->setDefault(true);
    toggleButton_->setAutoDefault(true);
    QObject::connect(toggleButton_, &QPushButton::clicked, this, [this] { actions_.toggle(); });

    pairButton_ = new QPushButton(kPairButton, this);
    pairButton_->setAutoDefault(false);
    pairButton_->hide();
    QObject::connect(pairButton_, &QPushButton::clicked, this, [this] {
        if (actions_.pairAnother) {
            actions_.pairAnother();
        }
    });

    auto* buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(12);
    buttonRow->addWidget(toggleButton_);
    buttonRow->addWidget(pairButton_);

    deviceList_ = new QWidget(this);
    deviceRows_ = new QVBoxLayout(deviceList_);
    deviceRows_->setContentsMargins(0, 0, 0, 0);
    deviceRows_->setSpacing(8);
    deviceList_->hide();

    terminalSwitch_ = new QCheckBox(kAllowTerminalSwitch, this);
    consentSwitch_ = new QCheckBox(kRequireConsentSwitch, this);
    QObject::connect(terminalSwitch_, &QCheckBox::clicked, this, [this](bool on) {
        if (actions_.allowTerminal) {
            actions_.allowTerminal(on);
        }
    });
    QObject::connect(consentSwitch_, &QCheckBox::clicked, this, [this](bool on) {
        if (actions_.requireConsent) {
            actions_.requireConsent(on);
        }
    });
    settingsButton_ = new QPushButton(kSettingsButton, this);
    settingsButton_->setAutoDefault(false);
    QObject::connect(settingsButton_, &QPushButton::clicked, this, [this] {
        SettingsDialog dialog(shownModel_, actions_, this);
        dialog.exec();
    });
    auto* switches = new QHBoxLayout;
    switches->addWidget(terminalSwitch_);
    switches->addWidget(consentSwitch_);
    switches->addWidget(settingsButton_);

    auto* column = new QVBoxLayout(this);
    // The window grows with what it shows (the code and the device list together), never
    // drawing one over the other.
    column->setSizeConstraint(QLayout::SetMinimumSize);
    column->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    column->setSpacing(kSpacing);
    column->addWidget(title);
    column->addWidget(statusLabel_);
    column->addWidget(detailLabel_);
    column->addWidget(consentLabel_);
    column->addWidget(qrImageView_, 0, Qt::AlignHCenter);
    column->addLayout(buttonRow);
    column->addWidget(deviceList_);
    // The column hangs from the top of the window; the switches stand at its foot.
    column->addStretch(1);
    column->addLayout(switches);

    detailText_ = kIdleDetail;
    detailLabel_->setText(
        wrapToLines(detailText_, detailLabel_->font(), kWidth - 2 * kMargin, kDetailLines));
}

MainWindow::~MainWindow() = default;

void MainWindow::show() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(kWidth / 2, height() / 2));
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
    shownModel_ = model;
    statusLabel_->setText(QString::fromStdString(model.statusText));
    const QString detail = QString::fromStdString(model.detailText);
    if (detail != detailText_) {
        detailText_ = detail;
        detailLabel_->setText(
            wrapToLines(detail, detailLabel_->font(), kWidth - 2 * kMargin, kDetailLines));
    }
    consentLabel_->setText(wrapToLines(QString::fromStdString(model.consentText),
                                       consentLabel_->font(), kWidth - 2 * kMargin, kConsentLines));
    consentLabel_->setHidden(model.consentText.empty());
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
    pairButton_->setText(QString::fromStdString(model.pairButtonTitle));
    pairButton_->setVisible(model.pairButtonShown);
    terminalSwitch_->setChecked(model.allowTerminal);
    consentSwitch_->setChecked(model.requireConsent);
    if (model.devices != shownDevices_) {
        renderDevices(model.devices);
    }
}

void MainWindow::renderDevices(const std::vector<DeviceRow>& devices) {
    shownDevices_ = devices;
    while (QLayoutItem* item = deviceRows_->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->deleteLater();
        }
        delete item;
    }
    // Tab walks the window top down: the buttons, each row's 断开 and 移除, the switches.
    QWidget* previous = pairButton_;
    for (const DeviceRow& device : devices) {
        auto* row = new QWidget(deviceList_);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        auto* text = new QLabel(row);
        text->setTextFormat(Qt::PlainText);
        text->setText(QString::fromStdString(device.name + "\n" + device.detail));
        text->setFont(pixelFont(13, QFont::Normal));
        line->addWidget(text, 1);
        const QString name = QString::fromStdString(device.name);
        const auto addButton = [&](const char* label, const char* kind,
                                   const std::function<void(const std::string&)>& action) {
            auto* button = new QPushButton(label, row);
            button->setAutoDefault(false);
            button->setObjectName(QString(kind) + ":" + QString::fromStdString(device.id));
            button->setAccessibleName(QString(label) + " " + name);
            QObject::connect(button, &QPushButton::clicked, this, [action, id = device.id] {
                if (action) {
                    action(id);
                }
            });
            line->addWidget(button);
            QWidget::setTabOrder(previous, button);
            previous = button;
        };
        if (device.cutOff) {
            addButton(kAllowButton, "allow", actions_.allow);
        } else {
            addButton(kDisconnectButton, "disconnect", actions_.disconnect);
        }
        addButton(kRemoveButton, "remove", actions_.remove);
        deviceRows_->addWidget(row);
    }
    QWidget::setTabOrder(previous, terminalSwitch_);
    deviceList_->setVisible(!devices.empty());
    // Not while minimized: resizing maps the window again (openbox), over the work of whoever uses
    // the desktop and with the keyboard focus, so that the keys a phone sends next are refused.
    if (!isMinimized()) {
        adjustSize();
    }
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) {
        return;
    }
    // The layout resizes the window as its texts and rows change: not while it is minimized (see
    // renderDevices), but once it is shown again.
    layout()->setEnabled(!isMinimized());
    if (!isMinimized()) {
        adjustSize();
    }
}

void MainWindow::notify(const std::string& title, const std::string& body) {
    // The freedesktop notification service where the session has one; nothing otherwise.
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                       "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    call << QString(kTitle) << 0U << QString() << QString::fromStdString(title)
         << QString::fromStdString(body) << QStringList() << QVariantMap() << -1;
    QDBusConnection::sessionBus().asyncCall(call);
}

void MainWindow::askConsent(const std::string& request, const std::string& name) {
    endConsent(request);
    auto* box = new QMessageBox(
        QMessageBox::Question, kTitle,
        QString::fromStdString("“" + name + "”想连接这台电脑。允许它查看和操作这台电脑吗？"),
        QMessageBox::NoButton, this);
    auto* allow = box->addButton("允许", QMessageBox::AcceptRole);
    box->addButton("拒绝", QMessageBox::RejectRole);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    consentBoxes_[request] = box;
    QObject::connect(box, &QMessageBox::finished, this, [this, box, allow, request] {
        const auto it = consentBoxes_.find(request);
        if (it == consentBoxes_.end() || it->second != box) {
            return; // closed by endConsent: nobody answered
        }
        consentBoxes_.erase(it);
        if (actions_.consent) {
            actions_.consent(request, box->clickedButton() == allow);
        }
    });
    box->show();
    box->raise();
    box->activateWindow();
}

void MainWindow::endConsent(const std::string& request) {
    const auto it = consentBoxes_.find(request);
    if (it == consentBoxes_.end()) {
        return;
    }
    QMessageBox* box = it->second;
    consentBoxes_.erase(it);
    box->close();
}

} // namespace zel
