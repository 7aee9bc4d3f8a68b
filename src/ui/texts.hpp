#pragma once

#include <QCoreApplication>

namespace tovali {

/// The interface's texts. Each English text is its own translation key, in the context
/// "Tovali"; texts around a value hold a single %1 where the value goes.
class Texts {
    Q_DECLARE_TR_FUNCTIONS(Tovali)
};

} // namespace tovali
