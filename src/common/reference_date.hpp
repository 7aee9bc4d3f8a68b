#pragma once

namespace tovali {

/// Wall-clock times count seconds since 2001-01-01 00:00:00 UTC; this is that moment in Unix time.
inline constexpr double unixTimeOfReferenceDate = 978307200.0;

} // namespace tovali
