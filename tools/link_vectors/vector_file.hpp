#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/bytes.hpp"
#include "common/expected.hpp"
#include "link/crypto.hpp"

namespace tovali::vectors {

using nlohmann::json;

/// The node at a dotted path ("keys.watch.public", "sessions.0.salt"), or null.
const json* find(const json& node, std::string_view path);

std::string inQuotes(std::string_view text);

template <std::size_t N>
std::string hexOrNone(const std::optional<FixedBytes<N>>& bytes) {
    return bytes ? toHex(*bytes) : "none";
}

/// One pass/fail unit. Its readers turn a missing or mistyped field into a recorded
/// problem and give none, so a bad case fails rather than stopping the run.
class Unit {
public:
    void fail(std::string problem) { problems_.push_back(std::move(problem)); }

    void same(std::string_view what, const std::string& expected, const std::string& got) {
        if (expected != got)
            fail(std::string(what) + ": expected " + expected + ", got " + got);
    }

    std::optional<std::string> text(const json& node, std::string_view path) {
        const json* at = field(node, path, &json::is_string, "a string");
        return at ? std::optional(at->get<std::string>()) : std::nullopt;
    }

    std::optional<bool> flag(const json& node, std::string_view path) {
        const json* at = field(node, path, &json::is_boolean, "true or false");
        return at ? std::optional(at->get<bool>()) : std::nullopt;
    }

    std::optional<std::int64_t> integer(const json& node, std::string_view path) {
        const json* at = field(node, path, &json::is_number_integer, "an integer");
        return at ? std::optional(at->get<std::int64_t>()) : std::nullopt;
    }

    std::optional<Bytes> hex(const json& node, std::string_view path) {
        auto digits = text(node, path);
        if (!digits)
            return std::nullopt;
        auto bytes = fromHex(*digits);
        if (!bytes)
            fail(std::string(path) + ": not hex");
        return bytes;
    }

    template <std::size_t N>
    std::optional<FixedBytes<N>> fixed(const json& node, std::string_view path) {
        auto bytes = hex(node, path);
        if (!bytes)
            return std::nullopt;
        auto out = fixedBytes<N>(*bytes);
        if (!out)
            fail(std::string(path) + ": " + std::to_string(bytes->size()) + " bytes, expected " +
                 std::to_string(N));
        return out;
    }

    std::optional<crypto::PrivateKey> privateKey(const json& node, std::string_view path) {
        auto raw = hex(node, path);
        if (!raw)
            return std::nullopt;
        auto key = crypto::PrivateKey::fromRaw(*raw);
        if (!key)
            fail(std::string(path) + ": rejected by PrivateKey::fromRaw");
        return key;
    }

    bool passed() const { return problems_.empty(); }

    std::string problems() const {
        std::string out;
        for (const auto& problem : problems_)
            out += (out.empty() ? "" : "; ") + problem;
        return out;
    }

private:
    const json* field(const json& node, std::string_view path, bool (json::*isType)() const,
                      std::string_view want) {
        const json* at = find(node, path);
        if (at == nullptr)
            fail(std::string(path) + ": missing");
        else if (!(at->*isType)())
            fail(std::string(path) + ": not " + std::string(want));
        else
            return at;
        return nullptr;
    }

    std::vector<std::string> problems_;
};

/// Counts the units and prints a line for each one that fails.
class Tally {
public:
    /// Runs one unit: a check that throws fails it rather than the run.
    void run(std::string_view section, std::size_t index, std::string_view note,
             const std::function<void(Unit&)>& check);
    void fail(std::string_view what, std::string_view problem);

    void countFailure() { ++failed_; }
    std::size_t passed() const { return passed_; }
    std::size_t failed() const { return failed_; }

private:
    std::size_t passed_ = 0;
    std::size_t failed_ = 0;
};

/// Runs check on each element of an array section; a missing section is skipped.
void forEachCase(Tally& tally, const json& root, std::string_view section,
                 const std::function<void(Unit&, const json&)>& check);

struct LoadError {
    std::string message;
};

/// The file as JSON, when it is a vector file.
Expected<json, LoadError> load(const char* path);

} // namespace tovali::vectors
