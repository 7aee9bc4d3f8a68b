#pragma once

#include <QString>

namespace tovali {

/// The day a time stamp (seconds since 2001-01-01 UTC) falls on here, in the user's locale.
QString pairedDate(double pairedAt);

} // namespace tovali
