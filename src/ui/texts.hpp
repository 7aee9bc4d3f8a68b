#pragma once

#include <QCoreApplication>
#include <QString>

#include "platform/accessibility.hpp"

namespace tovali {

/// The interface's texts. Each English text is its own translation key, in the context
/// "Tovali"; texts around a value hold a single %1 where the value goes.
class Texts {
    Q_DECLARE_TR_FUNCTIONS(Tovali)
};

/// What the panel and the menu's box say while a connected watch cannot move the pointer, by
/// what would help. The route decides the remedy, so each desktop gets the advice that works
/// there.
struct PermissionTexts {
    QString title;
    /// %1 is the watch's name.
    QString panelMessage;
    QString boxMessage;
    /// Empty where no button can help.
    QString button;
};

PermissionTexts permissionTexts(PermissionRemedy remedy);

} // namespace tovali
