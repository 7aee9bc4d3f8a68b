#include "ui/menu_view.hpp"

#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <map>

#include "link/crypto.hpp"
#include "link/watch_name.hpp"
#include "platform/accessibility.hpp"
#include "server/bluetooth_server.hpp"
#include "ui/login_toggle.hpp"
#include "ui/paired_date.hpp"
#include "ui/style.hpp"
#include "ui/texts.hpp"

namespace tovali {
namespace {

constexpr int stackSpacing = 12;
constexpr int stackPadding = 14;
constexpr int boxSpacing = 6;
constexpr int boxPadding = 10;
constexpr double boxCornerRadius = 8.0;
constexpr int dotSize = 8;
constexpr int statusSpacing = 8;
/// Between the items of a row or a stack whose spacing the design leaves to the platform.
constexpr int rowSpacing = 8;
constexpr int nameDateSpacing = 2;
constexpr int codePixelSize = 24;
// The widths text has to wrap into.
constexpr int contentWidth = MenuView::width - 2 * stackPadding;
constexpr int statusTextWidth = contentWidth - dotSize - statusSpacing;
constexpr int boxTextWidth = contentWidth - 2 * boxPadding;

/// A rounded rectangle in a tint behind a vertical stack, as wide as the view.
class TintedBox : public QWidget {
public:
    TintedBox(QColor tint, QWidget* parent) : QWidget(parent), tint_(tint) {
        auto* stack = new QVBoxLayout(this);
        stack->setSpacing(boxSpacing);
        stack->setContentsMargins(boxPadding, boxPadding, boxPadding, boxPadding);
    }

    QVBoxLayout& stack() { return *static_cast<QVBoxLayout*>(layout()); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(tint_);
        painter.drawRoundedRect(QRectF(rect()), boxCornerRadius, boxCornerRadius);
    }

private:
    QColor tint_;
};

/// A horizontal separator line, one pixel high, in a faint shade of the text colour.
class Divider : public QWidget {
public:
    explicit Divider(QWidget* parent) : QWidget(parent) {
        setFixedHeight(1);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QColor line = palette().color(QPalette::WindowText);
        line.setAlphaF(0.15f);
        QPainter(this).fillRect(rect(), line);
    }
};

QColor tinted(QColor color, double opacity) {
    color.setAlphaF(static_cast<float>(opacity));
    return color;
}

QColor dotColor(StatusColor color) {
    switch (color) {
    case StatusColor::green:
        return style::systemGreen();
    case StatusColor::blue:
        return style::systemBlue();
    case StatusColor::orange:
        return style::systemOrange();
    }
    return style::systemBlue();
}

QLabel* label(const QString& text, const QString& name, QWidget* parent) {
    QLabel* made = style::plainLabel(text, parent);
    made->setObjectName(name);
    return made;
}

/// Four bytes of the key's SHA-256 in hex: enough to tell apart two watches that show one name.
QString keyFingerprint(ByteView key) {
    const Digest digest = crypto::sha256({key});
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest.data()), 4).toHex());
}

QPushButton* button(const QString& text, const QString& name, QWidget* parent) {
    auto* made = new QPushButton(text, parent);
    made->setObjectName(name);
    made->setAutoDefault(false);
    return made;
}

} // namespace

/// The filled circle beside the status line.
class MenuView::Dot : public QWidget {
public:
    explicit Dot(QWidget* parent) : QWidget(parent) { setFixedSize(dotSize, dotSize); }

    void setColor(const QColor& color) {
        if (color != color_) {
            color_ = color;
            update();
        }
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(color_);
        painter.drawEllipse(QRectF(rect()));
    }

private:
    QColor color_;
};

MenuView::MenuView(BluetoothServer& server, Accessibility& accessibility, LoginItem& loginItem,
                   std::function<void()> quit, QWidget* parent)
    : QWidget(parent), server_(server), accessibility_(accessibility), quit_(std::move(quit)) {
    setFixedWidth(width);
    auto* stack = new QVBoxLayout(this);
    stack->setSpacing(stackSpacing);
    stack->setContentsMargins(stackPadding, stackPadding, stackPadding, stackPadding);

    // 1. Title.
    QLabel* title = label(Texts::tr("Tovali"), QStringLiteral("title"), this);
    title->setFont(style::headlineFont());
    stack->addWidget(title);

    // 2. Status line.
    auto* statusRow = new QWidget(this);
    statusRow->setObjectName(QStringLiteral("statusRow"));
    auto* statusLayout = new QHBoxLayout(statusRow);
    statusLayout->setContentsMargins(0, 0, 0, 0);
    statusLayout->setSpacing(statusSpacing);
    statusDot_ = new Dot(statusRow);
    statusDot_->setObjectName(QStringLiteral("statusDot"));
    statusText_ = label(QString(), QStringLiteral("statusText"), statusRow);
    statusLayout->addWidget(statusDot_, 0, Qt::AlignVCenter);
    statusLayout->addWidget(statusText_, 1);
    stack->addWidget(statusRow);

    // 3. Pairing box.
    auto* pairingBox = new TintedBox(tinted(style::systemBlue(), 0.12), this);
    pairingBox_ = pairingBox;
    pairingBox_->setObjectName(QStringLiteral("pairingBox"));
    pairingMessage_ = label(QString(), QStringLiteral("pairingMessage"), pairingBox_);
    pairingCode_ = label(QString(), QStringLiteral("pairingCode"), pairingBox_);
    pairingCode_->setFont(style::fixedSizeFont(codePixelSize, QFont::DemiBold, true));
    pairingCode_->setWordWrap(false);
    auto* answers = new QHBoxLayout;
    answers->setSpacing(rowSpacing);
    QPushButton* dontAllow =
        button(Texts::tr("Don’t allow"), QStringLiteral("dontAllow"), pairingBox_);
    QPushButton* allow = button(Texts::tr("Allow"), QStringLiteral("allow"), pairingBox_);
    allow->setDefault(true);
    allow_ = allow;
    // Disabled for the request's first second, as in the panel; the server holds back an
    // earlier approval anyway.
    arming_ = new QTimer(this);
    arming_->setSingleShot(true);
    arming_->setTimerType(Qt::PreciseTimer);
    arming_->setInterval(static_cast<int>(BluetoothServer::pairingArmingSeconds * 1000.0) + 5);
    connect(arming_, &QTimer::timeout, allow, [allow] { allow->setEnabled(true); });
    answers->addWidget(dontAllow);
    answers->addWidget(allow);
    answers->addStretch(1);
    pairingBox->stack().addWidget(pairingMessage_);
    pairingBox->stack().addWidget(pairingCode_);
    pairingBox->stack().addLayout(answers);
    connect(dontAllow, &QPushButton::clicked, this, [this] {
        if (shownRequest_)
            server_.answerPairing(*shownRequest_, false);
    });
    connect(allow, &QPushButton::clicked, this, [this] {
        if (shownRequest_)
            server_.answerPairing(*shownRequest_, true);
    });
    // Return answers as the default button does, wherever the focus is in the window, but only
    // while the box is shown: a hidden box's shortcuts do not fire.
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), pairingBox_);
        shortcut->setContext(Qt::WindowShortcut);
        shortcut->setAutoRepeat(false);
        connect(shortcut, &QShortcut::activated, allow, &QPushButton::click);
    }
    stack->addWidget(pairingBox_);

    // 4. Accessibility box.
    auto* accessibilityBox = new TintedBox(tinted(style::systemOrange(), 0.15), this);
    accessibilityBox_ = accessibilityBox;
    accessibilityBox_->setObjectName(QStringLiteral("accessibilityBox"));
    accessibilityMessage_ =
        label(QString(), QStringLiteral("accessibilityMessage"), accessibilityBox_);
    // Its text and whether it shows at all come with the remedy.
    askButton_ = button(QString(), QStringLiteral("askAgain"), accessibilityBox_);
    accessibilityBox->stack().addWidget(accessibilityMessage_);
    accessibilityBox->stack().addWidget(askButton_, 0, Qt::AlignLeft);
    connect(askButton_, &QPushButton::clicked, this,
            [this] { accessibility_.promptForPermission(); });
    stack->addWidget(accessibilityBox_);

    // 5. to 8. The paired watches between two dividers.
    stack->addWidget(new Divider(this));
    QLabel* heading =
        label(Texts::tr("Paired watches"), QStringLiteral("pairedWatchesHeading"), this);
    heading->setFont(style::subheadlineFont());
    stack->addWidget(heading);
    // The rows are items of the view's stack, spaced as its other items are.
    watchList_ = new QVBoxLayout;
    watchList_->setSpacing(stackSpacing);
    stack->addLayout(watchList_);
    // What keeps the list from being read or saved: otherwise "Forget" would look done.
    storageProblem_ = label(QString(), QStringLiteral("storageProblem"), this);
    storageProblem_->setFont(style::captionFont());
    style::setTextColor(*storageProblem_, style::systemRed());
    storageProblem_->hide();
    stack->addWidget(storageProblem_);
    stack->addWidget(new Divider(this));

    // 9. and 10. Open at login, and what went wrong when it could not be changed.
    stack->addWidget(new LoginToggle(loginItem, contentWidth, stackSpacing, this));

    // 11. Quit.
    QPushButton* quitButton = button(Texts::tr("Quit Tovali"), QStringLiteral("quit"), this);
    connect(quitButton, &QPushButton::clicked, this, [this] {
        if (quit_) {
            quit_();
        }
    });
    stack->addWidget(quitButton, 0, Qt::AlignLeft);

    // The server calls before it stores: each handler takes the value it is given.
    statusSubscription_ = observe(
        server_.status(),
        std::function<void(const Status&)>([this](const Status& status) { showStatus(status); }));
    requestSubscription_ =
        observe(server_.pairingRequest(),
                std::function<void(const std::optional<PairingRequest>&)>(
                    [this](const std::optional<PairingRequest>& r) { showPairingRequest(r); }));
    accessibilitySubscription_ = observe(
        server_.accessibilityAllowed(),
        std::function<void(const bool&)>([this](const bool& a) { showAccessibilityAllowed(a); }));
    storageSubscription_ = observe(
        server_.storageProblem(),
        std::function<void(const std::optional<std::string>&)>(
            [this](const std::optional<std::string>& problem) { showStorageProblem(problem); }));
    watchesSubscription_ =
        observe(server_.pairedWatches(),
                std::function<void(const std::vector<TrustedWatch>&)>(
                    [this](const std::vector<TrustedWatch>& w) { showWatches(w); }));
}

MenuView::~MenuView() = default;

QSize MenuView::sizeHint() const {
    // The layout's own hint is as wide as its widest wrapping label would like to be; the
    // height that matters is the one at the width the view has.
    return {width, layout()->totalHeightForWidth(width)};
}

void MenuView::showStatus(const Status& status) {
    statusDot_->setColor(dotColor(statusColor(status)));
    const QString text = style::breakingLongWords(QString::fromStdString(statusText(status)),
                                                  statusText_->font(), statusTextWidth);
    if (statusText_->text() != text) {
        statusText_->setText(text);
    }
}

void MenuView::showPairingRequest(const std::optional<PairingRequest>& request) {
    if (request != shownRequest_) {
        shownRequest_ = request;
        allow_->setEnabled(false);
        arming_->start();
    }
    if (!request) {
        arming_->stop();
        pairingBox_->hide();
        return;
    }
    pairingMessage_->setText(style::breakingLongWords(
        Texts::tr("Let “%1” control this computer? Allow only if your watch shows this code:")
            .arg(QString::fromStdString(shownName(request->name))),
        pairingMessage_->font(), boxTextWidth));
    pairingCode_->setText(QString::fromStdString(request->code));
    pairingBox_->show();
}

void MenuView::showAccessibilityAllowed(bool allowed) {
    if (allowed) {
        accessibilityBox_->hide();
        return;
    }
    const PermissionTexts texts = permissionTexts(accessibility_.remedy());
    accessibilityMessage_->setText(
        style::breakingLongWords(texts.boxMessage, accessibilityMessage_->font(), boxTextWidth));
    askButton_->setText(texts.button);
    askButton_->setVisible(!texts.button.isEmpty());
    accessibilityBox_->show();
}

void MenuView::showStorageProblem(const std::optional<std::string>& problem) {
    if (!problem) {
        storageProblem_->hide();
        return;
    }
    storageProblem_->setText(style::breakingLongWords(QString::fromStdString(*problem),
                                                      storageProblem_->font(), contentWidth));
    storageProblem_->show();
}

void MenuView::showWatches(const std::vector<TrustedWatch>& watches) {
    // The old rows go later, not now: this may run inside the click of one of their buttons.
    while (QLayoutItem* item = watchList_->takeAt(0)) {
        if (QWidget* old = item->widget()) {
            old->hide();
            old->setObjectName(QString());
            old->deleteLater();
        }
        delete item;
    }
    if (watches.empty()) {
        QLabel* none = label(Texts::tr("None yet. Open Tovali on your watch, then check the code "
                                       "it shows matches the one here."),
                             QStringLiteral("emptyWatches"), this);
        style::setTextColor(*none, style::secondaryText(palette()));
        watchList_->addWidget(none);
        none->show(); // in a view on screen, a new child waits to be shown
        return;
    }
    std::map<std::string, int> shownNames;
    for (const TrustedWatch& watch : watches)
        ++shownNames[shownName(watch.name)];
    for (const TrustedWatch& watch : watches) {
        QWidget* row = makeWatchRow(watch, shownNames[shownName(watch.name)] > 1);
        watchList_->addWidget(row);
        row->show();
    }
}

QWidget* MenuView::makeWatchRow(const TrustedWatch& watch, bool nameShared) {
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("watchRow"));
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    rowLayout->setSpacing(rowSpacing);

    QPushButton* forget = button(Texts::tr("Forget"), QStringLiteral("forget"), row);
    connect(forget, &QPushButton::clicked, this, [this, watch] { server_.forget(watch); });

    auto* nameAndDate = new QVBoxLayout;
    nameAndDate->setSpacing(nameDateSpacing);
    QLabel* name = label(QString(), QStringLiteral("watchName"), row);
    QString shown = QString::fromStdString(shownName(watch.name));
    if (nameShared)
        shown = QStringLiteral("%1 (%2)").arg(shown, keyFingerprint(watch.key));
    name->setText(style::breakingLongWords(shown, name->font(),
                                           contentWidth - rowSpacing - forget->sizeHint().width()));
    nameAndDate->addWidget(name);
    QLabel* date = label(Texts::tr("Paired %1").arg(pairedDate(watch.pairedAt)),
                         QStringLiteral("pairedAt"), row);
    date->setFont(style::captionFont());
    style::setTextColor(*date, style::secondaryText(palette()));
    nameAndDate->addWidget(date);
    rowLayout->addLayout(nameAndDate, 1);
    rowLayout->addWidget(forget, 0, Qt::AlignVCenter);
    return row;
}

} // namespace tovali
