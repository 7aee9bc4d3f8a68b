#pragma once

namespace tovali {

/// Ends the event loop on SIGINT, SIGTERM or SIGHUP as "Quit Tovali" would, so that everything
/// is torn down in order and no pointer button stays held. Call once, with an application.
void quitOnTerminationSignals();

} // namespace tovali
