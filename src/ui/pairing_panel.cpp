#include "ui/pairing_panel.hpp"

#include <QFont>
#include <QLabel>
#include <QString>
#include <utility>

#include "link/watch_name.hpp"
#include "server/bluetooth_server.hpp"
#include "ui/floating_panel.hpp"
#include "ui/style.hpp"
#include "ui/texts.hpp"

namespace tovali {
namespace {

constexpr int codePixelSize = 36;
// A few milliseconds past the server's second, so that an approval the button lets through is
// never one the server still holds back.
constexpr int armingMs = static_cast<int>(BluetoothServer::pairingArmingSeconds * 1000.0) + 5;

/// The panel's content: the symbol, the question naming the watch, the code to compare, and the
/// two answers. Each button, and its key, calls `answer`; nothing here closes the panel.
std::unique_ptr<PanelWindow> pairingView(const PairingRequest& request,
                                         const PairingPanel::Answer& answer) {
    const QString title = Texts::tr("Let “%1” control this computer?")
                              .arg(QString::fromStdString(shownName(request.name)));
    auto window = std::make_unique<PanelWindow>(title, PanelWindow::Keys::guarded);
    window->addSymbol(Symbol::watch);
    window->addText(title, style::headlineFont())->setObjectName(QStringLiteral("title"));
    QLabel* prompt =
        window->addText(Texts::tr("Allow only if your watch shows this code:"), style::bodyFont());
    style::setTextColor(*prompt, style::secondaryText(prompt->palette()));
    prompt->setObjectName(QStringLiteral("message"));
    QLabel* code = window->addText(QString::fromStdString(request.code),
                                   style::fixedSizeFont(codePixelSize, QFont::DemiBold, true));
    code->setWordWrap(false);
    code->setObjectName(QStringLiteral("code"));
    window->addButtons(
        Texts::tr("Don’t allow"), [answer] { answer(false); }, Texts::tr("Allow"),
        [answer] { answer(true); });
    window->holdDefault(armingMs);
    return window;
}

} // namespace

struct PairingPanel::Shown {
    FloatingPanel panel;
};

PairingPanel::PairingPanel() : shown_(std::make_unique<Shown>()) {}
PairingPanel::~PairingPanel() = default;

void PairingPanel::show(const PairingRequest& request, Answer answer) {
    shown_->panel.show(pairingView(request, answer));
}

void PairingPanel::close() {
    shown_->panel.close();
}

QWidget* PairingPanel::window() const {
    return shown_->panel.window();
}

} // namespace tovali
