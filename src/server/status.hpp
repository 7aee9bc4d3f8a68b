#pragma once

#include <string>
#include <utility>

namespace tovali {

/// What the menu shows about the server. Three cases carry a text.
class Status {
public:
    enum class Case {
        failed,
        pairing,
        connected,
        starting,
        bluetoothOff,
        notAllowed,
        unsupported,
        waiting,
        /// The computer's key is in a keyring that must be unlocked first.
        keyringLocked,
    };

    /// The full message of a failure to add the service or to advertise.
    static Status failed(std::string message) { return {Case::failed, std::move(message)}; }
    static Status pairing(std::string watchName) { return {Case::pairing, std::move(watchName)}; }
    static Status connected(std::string watchName) {
        return {Case::connected, std::move(watchName)};
    }
    static Status starting() { return {Case::starting, {}}; }
    static Status bluetoothOff() { return {Case::bluetoothOff, {}}; }
    static Status notAllowed() { return {Case::notAllowed, {}}; }
    static Status unsupported() { return {Case::unsupported, {}}; }
    static Status waiting() { return {Case::waiting, {}}; }
    static Status keyringLocked() { return {Case::keyringLocked, {}}; }

    Case kind() const { return case_; }
    /// The message or the watch's name; empty for the cases without one.
    const std::string& text() const { return text_; }

    friend bool operator==(const Status&, const Status&) = default;

private:
    Status(Case c, std::string text) : case_(c), text_(std::move(text)) {}

    Case case_;
    std::string text_;
};

/// The colour of the dot beside the status line; the interface picks the system's shade.
enum class StatusColor { green, blue, orange };

/// The status line as the menu shows it.
std::string statusText(const Status& status);
StatusColor statusColor(const Status& status);

} // namespace tovali
