#include "app/settings_dialog.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace zel {
namespace {

// In the order of PublicAddress::Kind.
constexpr const char* kKinds[] = {"快速隧道（每次开启地址不同）", "我的隧道（固定的主机名）",
                                  "我的地址（自己转发到本机 8787 端口）"};

} // namespace

SettingsDialog::SettingsDialog(const DisplayModel& model, WindowActions actions, QWidget* parent)
    : QDialog(parent), actions_(std::move(actions)) {
    setWindowTitle("连接设置");
    kind_ = new QComboBox(this);
    for (const char* kind : kKinds) {
        kind_->addItem(kind);
    }
    kind_->setCurrentIndex(static_cast<int>(model.address.kind));
    token_ = new QLineEdit(QString::fromStdString(model.address.tunnelToken), this);
    token_->setEchoMode(QLineEdit::Password); // a credential: not for screenshots either
    token_->setPlaceholderText("隧道服务控制台里的隧道令牌");
    hostname_ = new QLineEdit(QString::fromStdString(model.address.hostname), this);
    hostname_->setPlaceholderText("zel.example.com");
    url_ = new QLineEdit(QString::fromStdString(model.address.url), this);
    url_->setPlaceholderText("https://zel.example.com");
    startAtLogin_ = new QCheckBox(kStartAtLoginSwitch, this);
    startAtLogin_->setChecked(model.startAtLogin);
    problem_ = new QLabel(this);
    problem_->setWordWrap(true);
    problem_->setTextFormat(Qt::PlainText);
    problem_->hide();

    auto* form = new QFormLayout;
    form->addRow("公网地址", kind_);
    form->addRow("隧道令牌", token_);
    form->addRow("主机名", hostname_);
    form->addRow("地址", url_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Save)->setText("保存");
    buttons->button(QDialogButtonBox::Cancel)->setText("取消");
    auto* column = new QVBoxLayout(this);
    column->addLayout(form);
    column->addWidget(startAtLogin_);
    column->addWidget(problem_);
    column->addWidget(buttons);
    QObject::connect(kind_, &QComboBox::currentIndexChanged, this, [this] { showFields(); });
    QObject::connect(buttons, &QDialogButtonBox::accepted, this, [this] { save(); });
    QObject::connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    showFields();
}

void SettingsDialog::showFields() {
    const auto kind = static_cast<PublicAddress::Kind>(kind_->currentIndex());
    const auto form = findChild<QFormLayout*>();
    form->setRowVisible(token_, kind == PublicAddress::Kind::namedTunnel);
    form->setRowVisible(hostname_, kind == PublicAddress::Kind::namedTunnel);
    form->setRowVisible(url_, kind == PublicAddress::Kind::own);
}

void SettingsDialog::save() {
    PublicAddress address;
    address.kind = static_cast<PublicAddress::Kind>(kind_->currentIndex());
    if (address.kind == PublicAddress::Kind::namedTunnel) {
        address.tunnelToken = token_->text().trimmed().toStdString();
        address.hostname = hostname_->text().trimmed().toStdString();
    } else if (address.kind == PublicAddress::Kind::own) {
        address.url = url_->text().trimmed().toStdString();
    }
    const std::string problem = actions_.setAddress ? actions_.setAddress(address) : "";
    if (!problem.empty()) {
        problem_->setText(QString::fromStdString(problem));
        problem_->show();
        return; // nothing taken: the owner corrects it or cancels
    }
    if (actions_.startAtLogin) {
        actions_.startAtLogin(startAtLogin_->isChecked());
    }
    accept();
}

} // namespace zel
