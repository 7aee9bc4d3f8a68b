#pragma once

#include <string>

#include "common/expected.hpp"
#include "link/wire_messages.hpp"
#include "vector_file.hpp"

namespace tovali::vectors {

// Each checks one section of a vector file, and skips it when it is missing.
void checkKeys(Tally& tally, const json& root);
void checkPairing(Tally& tally, const json& root);
void checkSessions(Tally& tally, const json& root);
void checkWatchKeys(Tally& tally, const json& root);
void checkInput(Tally& tally, const json& root);
void checkRequests(Tally& tally, const json& root);
void checkReplies(Tally& tally, const json& root);
void checkCodes(Tally& tally, const json& root);
void checkReplyReady(Tally& tally, const json& root);

/// A request as one line, so that an expected and a parsed one compare as text.
std::string describe(const Request& request);
std::string describe(const Expected<Request, ProtocolError>& parsed);

} // namespace tovali::vectors
