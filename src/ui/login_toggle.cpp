#include "ui/login_toggle.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>
#include <optional>
#include <string>

#include "platform/login_item.hpp"
#include "ui/style.hpp"
#include "ui/texts.hpp"

namespace tovali {

LoginToggle::LoginToggle(LoginItem& loginItem, int textWidth, int spacing, QWidget* parent)
    : QWidget(parent), loginItem_(loginItem), textWidth_(textWidth) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(spacing);
    box_ = new QCheckBox(Texts::tr("Open at login"), this);
    box_->setObjectName(QStringLiteral("openAtLogin"));
    box_->setChecked(loginItem.isRegistered());
    connect(box_, &QCheckBox::toggled, this, [this](bool on) { set(on); });
    stack->addWidget(box_, 0, Qt::AlignLeft);
    error_ = style::plainLabel(QString(), this);
    error_->setObjectName(QStringLiteral("loginError"));
    error_->setFont(style::captionFont());
    style::setTextColor(*error_, style::systemRed());
    error_->hide();
    stack->addWidget(error_);
}

void LoginToggle::set(bool on) {
    const std::optional<std::string> error =
        on ? loginItem_.registerItem() : loginItem_.unregisterItem();
    if (!error) {
        error_->hide();
        error_->clear();
        return;
    }
    error_->setText(style::breakingLongWords(
        Texts::tr("Could not change this: %1").arg(QString::fromStdString(*error)), error_->font(),
        textWidth_));
    error_->show();
    // Back to the real state; when that is a change, the box's signal runs this again.
    box_->setChecked(loginItem_.isRegistered());
}

} // namespace tovali
