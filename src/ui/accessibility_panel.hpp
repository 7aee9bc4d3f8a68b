#pragma once

#include <memory>
#include <string>

class QWidget;

namespace tovali {

class Accessibility;

/// The floating panel that tells the user a watch is connected but may not move the pointer,
/// and offers the settings page where that is switched on.
class AccessibilityPanel {
public:
    explicit AccessibilityPanel(Accessibility& accessibility);
    ~AccessibilityPanel();
    AccessibilityPanel(const AccessibilityPanel&) = delete;
    AccessibilityPanel& operator=(const AccessibilityPanel&) = delete;

    /// Replaces any shown panel with a new one naming this watch, and steps aside as soon as
    /// the settings come to the front.
    void show(const std::string& watchName);
    void close();

    /// The panel window shown now, or null.
    QWidget* window() const;
    bool isWatchingSettings() const;

private:
    struct Shown;
    Accessibility& accessibility_;
    std::unique_ptr<Shown> shown_;
};

/// Behind every button that asks for the permission, so that they all ask alike.
void askForPermission(Accessibility& accessibility);

} // namespace tovali
