#include "ui/state_log.hpp"

#include <cstdio>
#include <string>

#include "platform/syslog/syslog_system_log.hpp"
#include "server/bluetooth_server.hpp"

namespace tovali {

void StateLog::write(std::string_view line) {
    // Watch names come from the air: no control character of theirs reaches a terminal.
    std::string text(line);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    std::fprintf(stderr, "tovali: %s\n", text.c_str());
    journal_.note(text);
}

void StateLog::follow(const BluetoothServer& server) {
    write("status: " + statusText(server.status().value()));
    pairedWatches_ = server.pairedWatches().value().size();
    write("paired watches: " + std::to_string(pairedWatches_));
    status_ = server.status().subscribe([this, &server](const Status& status) {
        if (!(status == server.status().value()))
            write("status: " + statusText(status));
    });
    pairing_ = server.pairingRequest().subscribe(
        [this, &server](const std::optional<PairingRequest>& request) {
            const auto& before = server.pairingRequest().value();
            if (request && (!before || before->id != request->id))
                write("pairing asked for by \u201c" + request->name + "\u201d");
            else if (!request && before)
                write("pairing with \u201c" + before->name + "\u201d ended");
        });
    watches_ = server.pairedWatches().subscribe([this](const std::vector<TrustedWatch>& watches) {
        if (watches.size() != pairedWatches_)
            write("paired watches: " + std::to_string(watches.size()));
        pairedWatches_ = watches.size();
    });
}

} // namespace tovali
