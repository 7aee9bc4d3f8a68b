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

PanelWindow::PanelWindow(const QString& title)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      column_(new QVBoxLayout(this)) {
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
    accept_ = std::move(accept);

    auto* cancelButton = new QPushButton(cancelText, this);
    auto* defaultButton = new QPushButton(defaultText, this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    defaultButton->setObjectName(QStringLiteral("defaultButton"));
    // A focused button takes Return itself (so Tab then Return presses what has the focus); the
    // default button starts with the focus and is drawn as the default.
    cancelButton->setAutoDefault(true);
    defaultButton->setAutoDefault(true);
    defaultButton->setDefault(true);
    defaultButton->setFocus();
    connect(cancelButton, &QPushButton::clicked, this, [this] { run(cancel_); });
    connect(defaultButton, &QPushButton::clicked, this, [this] { run(accept_); });

    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, buttonRowTopPadding, 0, 0);
    row->addStretch();
    row->addWidget(cancelButton);
    row->addWidget(defaultButton);
    row->addStretch();
    column_->addLayout(row);
}

void PanelWindow::disarm() {
    cancel_ = nullptr;
    accept_ = nullptr;
}

void PanelWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
        run(cancel_);
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
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
