#pragma once

#include <memory>
#include <string>

class QWidget;

namespace tovali {

class Accessibility;

/// The floating panel that tells the user a watch is connected but may not move the pointer,
/// says what would help, and asks the desktop again where it can.
class AccessibilityPanel {
public:
    explicit AccessibilityPanel(Accessibility& accessibility);
    ~AccessibilityPanel();
    AccessibilityPanel(const AccessibilityPanel&) = delete;
    AccessibilityPanel& operator=(const AccessibilityPanel&) = delete;

    /// Replaces any shown panel with a new one naming this watch.
    void show(const std::string& watchName);
    void close();

    /// The panel window shown now, or null.
    QWidget* window() const;

private:
    struct Shown;
    Accessibility& accessibility_;
    std::unique_ptr<Shown> shown_;
};

} // namespace tovali
