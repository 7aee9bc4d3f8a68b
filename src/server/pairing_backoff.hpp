#pragma once

namespace tovali {

/// How long a new pairing must wait after pairings that ended without the user's approval: a
/// stranger in range who keeps asking gets fewer and fewer chances to catch the user off guard
/// or to find a code that matches the one its own screen shows.
class PairingBackoff {
public:
    static constexpr double firstWait = 2.0;
    static constexpr double longestWait = 60.0;
    /// This long without an unapproved pairing forgives the earlier ones.
    static constexpr double quietReset = 600.0;

    /// A pairing ended at `now` without approval: refused, timed out or withdrawn.
    void endedUnapproved(double now);
    /// The user approved a pairing: whoever asked was welcome.
    void approved() { *this = {}; }
    /// Whether a pairing that would begin at `now` must wait.
    bool mustWait(double now) const { return now < readyAt_; }
    /// When the next pairing may begin.
    double readyAt() const { return readyAt_; }

private:
    int unapproved_ = 0;
    double lastEnd_ = 0.0;
    double readyAt_ = 0.0;
};

} // namespace tovali
