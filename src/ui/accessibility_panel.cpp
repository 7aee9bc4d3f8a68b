#include "ui/accessibility_panel.hpp"

#include <QLabel>
#include <QString>

#include "platform/accessibility.hpp"
#include "ui/floating_panel.hpp"
#include "ui/style.hpp"
#include "ui/texts.hpp"

namespace tovali {
namespace {

/// The panel's content: the symbol, the title, the sentence naming the watch and what would
/// help, and the buttons; only "Not now" where no button can help.
std::unique_ptr<PanelWindow> accessibilityView(const QString& watchName,
                                               const PermissionTexts& texts,
                                               std::function<void()> ask,
                                               std::function<void()> notNow) {
    auto window = std::make_unique<PanelWindow>(texts.title);
    window->addSymbol(Symbol::accessibility);
    window->addText(texts.title, style::headlineFont())->setObjectName(QStringLiteral("title"));
    QLabel* sentence = window->addText(texts.panelMessage.arg(watchName), style::bodyFont());
    style::setTextColor(*sentence, style::secondaryText(sentence->palette()));
    sentence->setObjectName(QStringLiteral("message"));
    window->addButtons(Texts::tr("Not now"), std::move(notNow), texts.button, std::move(ask));
    return window;
}

} // namespace

struct AccessibilityPanel::Shown {
    FloatingPanel panel;
};

AccessibilityPanel::AccessibilityPanel(Accessibility& accessibility)
    : accessibility_(accessibility), shown_(std::make_unique<Shown>()) {}

AccessibilityPanel::~AccessibilityPanel() = default;

void AccessibilityPanel::show(const std::string& watchName) {
    close();
    shown_->panel.show(accessibilityView(
        QString::fromStdString(watchName), permissionTexts(accessibility_.remedy()),
        [this] {
            close();
            accessibility_.promptForPermission();
        },
        [this] { close(); }));
}

void AccessibilityPanel::close() {
    shown_->panel.close();
}

QWidget* AccessibilityPanel::window() const {
    return shown_->panel.window();
}

} // namespace tovali
