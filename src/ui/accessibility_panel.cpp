#include "ui/accessibility_panel.hpp"

#include <QLabel>
#include <QString>
#include <optional>

#include "common/published.hpp"
#include "platform/accessibility.hpp"
#include "ui/floating_panel.hpp"
#include "ui/style.hpp"
#include "ui/texts.hpp"

namespace tovali {
namespace {

/// The panel's content: the symbol, the title, the sentence naming the watch and the settings
/// list, and the two buttons.
std::unique_ptr<PanelWindow> accessibilityView(const QString& watchName, const QString& listName,
                                               std::function<void()> open,
                                               std::function<void()> notNow) {
    const QString title = Texts::tr("Allow Tovali to control this Mac");
    auto window = std::make_unique<PanelWindow>(title);
    window->addSymbol(Symbol::accessibility);
    window->addText(title, style::headlineFont())->setObjectName(QStringLiteral("title"));
    // One call substitutes both values, so a name holding "%2" stays as it is.
    QLabel* sentence = window->addText(
        Texts::tr("“%1” is connected, but macOS won’t let Tovali move the pointer until you turn "
                  "it on in Privacy & Security, %2. If it’s on already, turn it off and on again.")
            .arg(watchName, listName),
        style::bodyFont());
    style::setTextColor(*sentence, style::secondaryText(sentence->palette()));
    sentence->setObjectName(QStringLiteral("message"));
    window->addButtons(Texts::tr("Not now"), std::move(notNow), Texts::tr("Open System Settings"),
                       std::move(open));
    return window;
}

} // namespace

struct AccessibilityPanel::Shown {
    FloatingPanel panel;
    /// Held while the panel is shown.
    std::optional<Subscription> settingsObserver;
};

AccessibilityPanel::AccessibilityPanel(Accessibility& accessibility)
    : accessibility_(accessibility), shown_(std::make_unique<Shown>()) {}

AccessibilityPanel::~AccessibilityPanel() = default;

void AccessibilityPanel::show(const std::string& watchName) {
    close();
    shown_->panel.show(accessibilityView(
        QString::fromStdString(watchName),
        QString::fromStdString(accessibility_.settingsListName()),
        [this] {
            close();
            askForPermission(accessibility_);
        },
        [this] { close(); }));
    shown_->settingsObserver = accessibility_.whenSettingsComeToFront([this] { close(); });
}

void AccessibilityPanel::close() {
    shown_->settingsObserver.reset();
    shown_->panel.close();
}

QWidget* AccessibilityPanel::window() const {
    return shown_->panel.window();
}

bool AccessibilityPanel::isWatchingSettings() const {
    return shown_->settingsObserver.has_value();
}

void askForPermission(Accessibility& accessibility) {
    accessibility.promptForPermission();
    accessibility.openSettings();
}

} // namespace tovali
