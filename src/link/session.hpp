#pragma once

#include <optional>
#include <string>

#include "common/bytes.hpp"
#include "common/uuid.hpp"
#include "link/input_opener.hpp"

namespace tovali {

/// One connected watch that has said hello, keyed by its central's identifier.
struct Session {
    Uuid central;
    /// The name from the watch's hello: text from the air, shown only as plain text.
    std::string name;
    /// As received: 65 bytes in X9.63 form.
    PublicKeyBytes watchKey{};
    /// What a read of the reply characteristic returns.
    Bytes reply;
    std::optional<Nonce> computerNonce;
    std::optional<Nonce> watchNonce;
    /// Present exactly while the session is established.
    std::optional<InputOpener> opener;

    bool isEstablished() const { return opener.has_value(); }
};

} // namespace tovali
