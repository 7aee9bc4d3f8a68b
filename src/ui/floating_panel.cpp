#include "ui/floating_panel.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <utility>

#include "platform/x11/x11_window_hints.hpp"
#include "ui/style.hpp"

namespace tovali {
namespace {

/// Extra space above the row of buttons.
constexpr int buttonRowTopPadding = 4;

QScreen* screenUnderPointer() {
    if (QScreen* screen = QGuiApplication::screenAt(QCursor::pos()))
        return screen;
    return QGuiApplication::primaryScreen();
}

} // namespace

PanelWindow::PanelWindow(const QString& title, Keys keys)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      column_(new QVBoxLayout(this)), keys_(keys) {
    if (keys_ == Keys::guarded) {
        // Whatever the user is typing elsewhere must not land here; a click or the window
        // manager's focus brings the keys, and then the window itself takes them.
        setAttribute(Qt::WA_ShowWithoutActivating);
        setFocusPolicy(Qt::StrongFocus);
    }
    setWindowTitle(title);
    setScreen(screenUnderPointer());
    setFixedWidth(panelWidth);
    column_->setContentsMargins(padding, padding, padding, padding);
    column_->setSpacing(spacing);
    // The width is fixed and the height is fitted when the panel is shown; the layout must not
    // widen the window to fit a label's natural width.
    column_->setSizeConstraint(QLayout::SetNoConstraint);
}

void PanelWindow::addSymbol(Symbol symbol) {
    auto* label = new QLabel(this);
    const qreal ratio = screen() != nullptr ? screen()->devicePixelRatio() : devicePixelRatioF();
    label->setPixmap(symbolPixmap(symbol, symbolSize, style::accent(palette()), ratio));
    label->setAlignment(Qt::AlignCenter);
    label->setAccessibleName(QString::fromLatin1(symbolName(symbol)));
    label->setObjectName(QStringLiteral("symbol"));
    column_->addWidget(label);
}

QLabel* PanelWindow::addText(const QString& text, const QFont& font,
                             const std::optional<QColor>& color) {
    const QString shown = style::breakingLongWords(text, font, contentWidth());
    QLabel* label = style::plainLabel(shown, this);
    label->setFont(font);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    if (shown != text)
        label->setAccessibleName(text);
    if (color)
        style::setTextColor(*label, *color);
    column_->addWidget(label);
    return label;
}

void PanelWindow::addButtons(const QString& cancelText, std::function<void()> cancel,
                             const QString& defaultText, std::function<void()> accept) {
    cancel_ = std::move(cancel);
    // Without a second action the one button is the default, and Return cancels as it does.
    accept_ = defaultText.isEmpty() ? cancel_ : std::move(accept);

    auto* cancelButton = new QPushButton(cancelText, this);
    auto* defaultButton = defaultText.isEmpty() ? cancelButton : new QPushButton(defaultText, this);
    defaultButton->setObjectName(QStringLiteral("defaultButton"));
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    defaultButton_ = defaultButton;
    if (keys_ == Keys::guarded) {
        // A focused button would answer Space; here only the window's own keys answer.
        cancelButton->setFocusPolicy(Qt::NoFocus);
        defaultButton->setFocusPolicy(Qt::NoFocus);
        defaultButton->setDefault(true);
    } else {
        // A focused button takes Return itself (so Tab then Return presses what has the
        // focus); the default button starts with the focus and is drawn as the default.
        cancelButton->setAutoDefault(true);
        defaultButton->setAutoDefault(true);
        defaultButton->setDefault(true);
        defaultButton->setFocus();
    }
    connect(cancelButton, &QPushButton::clicked, this, [this] { run(cancel_); });
    if (defaultButton != cancelButton) {
        connect(defaultButton, &QPushButton::clicked, this, [this] {
            if (!defaultHeld_)
                run(accept_);
        });
    }

    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, buttonRowTopPadding, 0, 0);
    row->addStretch();
    row->addWidget(cancelButton);
    if (defaultButton != cancelButton)
        row->addWidget(defaultButton);
    row->addStretch();
    column_->addLayout(row);
}

void PanelWindow::holdDefault(int ms) {
    defaultHeld_ = true;
    if (defaultButton_ != nullptr)
        defaultButton_->setEnabled(false);
    // Precise: a coarse timer may fire early, and the answer would then come too soon to count.
    QTimer::singleShot(ms, Qt::PreciseTimer, this, [this] {
        defaultHeld_ = false;
        if (defaultButton_ != nullptr)
            defaultButton_->setEnabled(true);
    });
}

void PanelWindow::disarm() {
    cancel_ = nullptr;
    accept_ = nullptr;
}

void PanelWindow::keyPressEvent(QKeyEvent* event) {
    // A key held down since before the panel had the focus answers nothing.
    if (keys_ == Keys::guarded && event->isAutoRepeat()) {
        event->accept();
        return;
    }
    switch (event->key()) {
    case Qt::Key_Escape:
        run(cancel_);
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!defaultHeld_)
            run(accept_);
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void PanelWindow::closeEvent(QCloseEvent* event) {
    // The panel offers no close control, but a window manager may still close it (Alt+F4), and
    // Qt closes every window when the application quits. The close is accepted, since refusing
    // it would also refuse the quit, and it counts as the cancel action.
    QWidget::closeEvent(event);
    if (event->spontaneous() && isVisible())
        run(cancel_);
}

void PanelWindow::paintEvent(QPaintEvent* /*event*/) {
    // Without a title bar, and without a compositor's shadow, the panel's edge is this line.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void PanelWindow::run(const std::function<void()>& action) {
    if (std::function<void()> copy = action)
        copy();
}

FloatingPanel::~FloatingPanel() {
    // The owner goes away for good (at the end of the process); nothing of the window runs any
    // more, so it may go at once.
    if (window_)
        window_->disarm();
}

void FloatingPanel::show(std::unique_ptr<PanelWindow> window) {
    close();
    window_ = std::move(window);
    PanelWindow& shown = *window_;

    const int fitted = shown.heightForWidth(PanelWindow::panelWidth);
    shown.setFixedHeight(fitted > 0 ? fitted : shown.sizeHint().height());
    shown.winId(); // creates the native window, which the hints go to before it is mapped
    if (QWindow* handle = shown.windowHandle())
        showOnEveryWorkspace(*handle);

    QScreen* screen = shown.screen() != nullptr ? shown.screen() : screenUnderPointer();
    if (screen != nullptr) {
        QRect frame(QPoint(), shown.size());
        frame.moveCenter(screen->availableGeometry().center());
        shown.move(frame.topLeft());
    }
    shown.show();
    shown.raise();
    if (!shown.isGuarded())
        shown.activateWindow();
}

void FloatingPanel::close() {
    if (!window_)
        return;
    PanelWindow* window = window_.release();
    window->disarm();
    window->hide();
    window->deleteLater();
}

} // namespace tovali
