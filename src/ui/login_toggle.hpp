#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;

namespace tovali {

class LoginItem;

/// "Open at login", and under it why the last change failed. The box always ends on the real
/// state: a change that fails is taken back.
class LoginToggle : public QWidget {
public:
    /// The reason wraps within `textWidth`, `spacing` below the box.
    LoginToggle(LoginItem& loginItem, int textWidth, int spacing, QWidget* parent = nullptr);

private:
    void set(bool on);

    LoginItem& loginItem_;
    int textWidth_;
    // Owned by the widget tree.
    QCheckBox* box_ = nullptr;
    QLabel* error_ = nullptr;
};

} // namespace tovali
