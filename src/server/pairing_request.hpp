#pragma once

#include <string>

#include "common/uuid.hpp"

namespace tovali {

/// The pairing that waits for the user's answer.
struct PairingRequest {
    /// The pairing central's identifier.
    Uuid id;
    std::string name;
    /// Six digits as "123 456".
    std::string code;
    friend bool operator==(const PairingRequest&, const PairingRequest&) = default;
};

} // namespace tovali
