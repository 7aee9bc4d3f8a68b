#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "ui/symbols.hpp"

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace tovali {

/// The window of a floating panel: frameless, above other windows, a fixed width, its content
/// in one centred column. Escape runs the cancel action and Return (or Enter) the default one,
/// as do the two buttons; once disarmed, none of them runs anything.
///
/// A guarded panel is for questions a stranger may raise: it appears without taking the focus,
/// only Return and Escape answer (never Space, never a repeat of a held key), and its default
/// action may wait a moment before it works.
class PanelWindow : public QWidget {
    Q_OBJECT

public:
    /// The panel's width in logical pixels, and the column's padding and spacing.
    static constexpr int panelWidth = 340;
    static constexpr int padding = 24;
    static constexpr int spacing = 14;
    static constexpr int symbolSize = 34;

    /// An empty panel titled `title` (for taskbars and screen readers; it shows no title bar),
    /// on the screen that holds the pointer.
    enum class Keys { plain, guarded };

    explicit PanelWindow(const QString& title, Keys keys = Keys::plain);

    /// Rows of the column, top to bottom.
    void addSymbol(Symbol symbol);
    /// Centred text, wrapping onto as many lines as it needs, breaking inside a word only where
    /// the word is wider than the column.
    QLabel* addText(const QString& text, const QFont& font,
                    const std::optional<QColor>& color = std::nullopt);
    /// The row of two buttons; the second is the default one. An empty `defaultText` leaves
    /// the cancel button alone, as the default.
    void addButtons(const QString& cancelText, std::function<void()> cancel,
                    const QString& defaultText, std::function<void()> accept);

    /// The default action, its key and its button do nothing, and show so, for `ms`.
    void holdDefault(int ms);
    bool isDefaultHeld() const { return defaultHeld_; }
    bool isGuarded() const { return keys_ == Keys::guarded; }

    /// From now on keys and buttons do nothing.
    void disarm();

    /// The width left for the column's content.
    static int contentWidth() { return panelWidth - 2 * padding; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    /// Runs a copy of the action, so that the action may disarm or drop this window.
    static void run(const std::function<void()>& action);

    QVBoxLayout* column_;
    Keys keys_;
    QPushButton* defaultButton_ = nullptr;
    bool defaultHeld_ = false;
    std::function<void()> cancel_;
    std::function<void()> accept_;
};

/// The one window of a floating panel, owned here. Closing only hides the window and deletes it
/// later, because `close` may be called from inside that window's own button or key handler.
class FloatingPanel {
public:
    FloatingPanel() = default;
    ~FloatingPanel();
    FloatingPanel(const FloatingPanel&) = delete;
    FloatingPanel& operator=(const FloatingPanel&) = delete;

    /// Closes any shown window, then shows this one: its height fitted to its content, on every
    /// workspace, centred on the screen that holds the pointer, in front, and active unless it
    /// is guarded.
    void show(std::unique_ptr<PanelWindow> window);
    void close();

    /// The window shown now, or null.
    PanelWindow* window() const { return window_.get(); }

private:
    std::unique_ptr<PanelWindow> window_;
};

} // namespace tovali
