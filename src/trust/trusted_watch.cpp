#include "trust/trusted_watch.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "trust/base64.hpp"

namespace tovali {

namespace {

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

bool appendJsonNumber(std::string& out, double value) {
    if (!std::isfinite(value)) {
        return false;
    }
    // The shortest text that reads back as the same double, in plain decimals where a double
    // still counts whole numbers exactly, as other JSON writers of these time stamps do.
    const double magnitude = std::abs(value);
    const bool plain = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 0x1p53);
    char digits[64];
    const auto [end, error] =
        std::to_chars(digits, digits + sizeof digits, value,
                      plain ? std::chars_format::fixed : std::chars_format::scientific);
    if (error != std::errc{}) {
        return false;
    }
    out.append(digits, end);
    return true;
}

std::optional<TrustedWatch> decodeWatch(const nlohmann::json& element) {
    if (!element.is_object()) {
        return std::nullopt;
    }
    const auto key = element.find("key");
    const auto name = element.find("name");
    const auto pairedAt = element.find("pairedAt");
    if (key == element.end() || !key->is_string() || name == element.end() || !name->is_string() ||
        pairedAt == element.end() || !pairedAt->is_number()) {
        return std::nullopt;
    }
    std::optional<Bytes> keyBytes = base64Decode(key->get_ref<const std::string&>());
    const double seconds = pairedAt->get<double>();
    if (!keyBytes || !std::isfinite(seconds)) {
        return std::nullopt;
    }
    return TrustedWatch{std::move(*keyBytes), name->get<std::string>(), seconds};
}

} // namespace

std::optional<std::string> encodeTrustedWatches(const std::vector<TrustedWatch>& watches) {
    std::string out = "[";
    for (const TrustedWatch& watch : watches) {
        if (out.size() > 1) {
            out += ',';
        }
        out += "{\"key\":";
        appendJsonString(out, base64Encode(watch.key));
        out += ",\"name\":";
        appendJsonString(out, watch.name);
        out += ",\"pairedAt\":";
        if (!appendJsonNumber(out, watch.pairedAt)) {
            return std::nullopt;
        }
        out += '}';
    }
    out += ']';
    return out;
}

std::optional<std::vector<TrustedWatch>> decodeTrustedWatches(ByteView stored) {
    const nlohmann::json list = nlohmann::json::parse(stored.begin(), stored.end(), nullptr,
                                                      /*allow_exceptions=*/false);
    if (!list.is_array()) {
        return std::nullopt; // also what a parse error gives: a discarded value
    }
    std::vector<TrustedWatch> watches;
    watches.reserve(list.size());
    for (const nlohmann::json& element : list) {
        std::optional<TrustedWatch> watch = decodeWatch(element);
        if (!watch) {
            return std::nullopt;
        }
        watches.push_back(std::move(*watch));
    }
    return watches;
}

} // namespace tovali
