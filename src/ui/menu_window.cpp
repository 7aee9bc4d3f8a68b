#include "ui/menu_window.hpp"

#include <QCloseEvent>
#include <QCursor>
#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <optional>

#include "ui/menu_view.hpp"
#include "ui/texts.hpp"

namespace tovali {
namespace {

constexpr int popoverBorder = 1;
/// A click on the tray icon first takes the activation from the popover, which hides it, and
/// then toggles it; a toggle this soon after such a hide is that same click, asking to close.
constexpr qint64 sameClickMilliseconds = 300;

/// The top-left corner for a window of this size near the point: below and to the right of it
/// where it fits, above or to the left where it does not, and always inside the area.
QPoint placed(QPoint near, QSize size, const QRect& area) {
    int x = near.x();
    int y = near.y();
    if (x + size.width() > area.right() + 1) {
        x = near.x() - size.width();
    }
    if (y + size.height() > area.bottom() + 1) {
        y = near.y() - size.height();
    }
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - size.width()));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() + 1 - size.height()));
    return {x, y};
}

/// The top-level widget around the view.
class MenuWindowFrame : public QWidget {
public:
    MenuWindowFrame(MenuWindow::Style style, std::function<void()> quit)
        : QWidget(nullptr, style == MenuWindow::Style::popover
                               ? Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                               : Qt::Window),
          style_(style), quit_(std::move(quit)) {
        setObjectName(QStringLiteral("menuWindow"));
        setWindowTitle(Texts::tr("Tovali"));
        auto* layout = new QVBoxLayout(this);
        const int margin = style == MenuWindow::Style::popover ? popoverBorder : 0;
        layout->setContentsMargins(margin, margin, margin, margin);
        layout->setSpacing(0);
        // The window takes the view's size, height for width included, after every change of
        // the content.
        layout->setSizeConstraint(QLayout::SetFixedSize);
    }

    MenuWindow::Style style() const { return style_; }

    /// Remembers where the window belongs, so that it stays there when its height changes.
    void placeNear(QPoint near) {
        near_ = near;
        place();
    }

    /// True once after the window hid itself on losing the activation a moment ago.
    bool takeHideOnDeactivationJustNow() {
        const bool justNow = hiddenOnDeactivation_.isValid() &&
                             hiddenOnDeactivation_.elapsed() < sameClickMilliseconds;
        hiddenOnDeactivation_.invalidate();
        return justNow;
    }

protected:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::WindowDeactivate && style_ == MenuWindow::Style::popover &&
            isVisible()) {
            hide();
            hiddenOnDeactivation_.start();
        }
        return QWidget::event(event);
    }

    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && style_ == MenuWindow::Style::popover) {
            hide();
            return;
        }
        QWidget::keyPressEvent(event);
    }

    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        if (style_ == MenuWindow::Style::popover && near_) {
            place();
        }
    }

    void paintEvent(QPaintEvent*) override {
        if (style_ != MenuWindow::Style::popover) {
            return;
        }
        QPainter painter(this);
        painter.fillRect(rect(), palette().color(QPalette::Window));
        painter.setPen(palette().color(QPalette::Mid));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }

    void closeEvent(QCloseEvent* event) override {
        QWidget::closeEvent(event);
        if (style_ == MenuWindow::Style::window && event->isAccepted() && quit_) {
            quit_();
        }
    }

private:
    void place() {
        QScreen* screen = QGuiApplication::screenAt(*near_);
        if (!screen) {
            screen = QGuiApplication::primaryScreen();
        }
        if (!screen) {
            move(*near_);
            return;
        }
        move(placed(*near_, size(), screen->availableGeometry()));
    }

    MenuWindow::Style style_;
    std::function<void()> quit_;
    std::optional<QPoint> near_;
    QElapsedTimer hiddenOnDeactivation_;
};

} // namespace

struct MenuWindow::Parts {
    std::unique_ptr<MenuWindowFrame> frame;
    MenuView* view; // owned by the frame
};

MenuWindow::MenuWindow(BluetoothServer& server, Accessibility& accessibility, LoginItem& loginItem,
                       std::function<void()> quit, Style style)
    : parts_(std::make_unique<Parts>()) {
    parts_->frame = std::make_unique<MenuWindowFrame>(style, quit);
    parts_->view =
        new MenuView(server, accessibility, loginItem, std::move(quit), parts_->frame.get());
    parts_->frame->layout()->addWidget(parts_->view);
    parts_->frame->adjustSize();
}

MenuWindow::~MenuWindow() = default;

void MenuWindow::toggle(std::optional<QPoint> near) {
    MenuWindowFrame& frame = *parts_->frame;
    if (frame.takeHideOnDeactivationJustNow() || frame.isVisible()) {
        frame.hide();
        return;
    }
    present(near);
}

void MenuWindow::present(std::optional<QPoint> near) {
    MenuWindowFrame& frame = *parts_->frame;
    frame.adjustSize();
    if (frame.style() == Style::popover) {
        frame.placeNear(near.value_or(QCursor::pos()));
    }
    frame.show();
    frame.raise();
    frame.activateWindow();
}

QWidget& MenuWindow::window() {
    return *parts_->frame;
}

MenuView& MenuWindow::view() {
    return *parts_->view;
}

} // namespace tovali
