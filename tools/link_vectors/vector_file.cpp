#include "vector_file.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>

namespace tovali::vectors {

const json* find(const json& node, std::string_view path) {
    const json* at = &node;
    while (at != nullptr && !path.empty()) {
        auto dot = path.find('.');
        std::string name(path.substr(0, dot));
        path = dot == std::string_view::npos ? std::string_view{} : path.substr(dot + 1);
        if (at->is_object()) {
            auto it = at->find(name);
            at = it == at->end() ? nullptr : &*it;
        } else if (at->is_array() && !name.empty() &&
                   name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10) {
            auto index = std::stoul(name);
            at = index < at->size() ? &(*at)[index] : nullptr;
        } else {
            at = nullptr;
        }
    }
    return at;
}

std::string inQuotes(std::string_view text) {
    std::string out(1, '"');
    out.append(text);
    out.push_back('"');
    return out;
}

void Tally::run(std::string_view section, std::size_t index, std::string_view note,
                const std::function<void(Unit&)>& check) {
    Unit unit;
    try {
        check(unit);
    } catch (const std::exception& e) {
        // Our functions do not throw; json and the standard library might.
        unit.fail(std::string("error: ") + e.what());
    }
    if (unit.passed()) {
        ++passed_;
        return;
    }
    ++failed_;
    std::cout << "FAIL " << section << '[' << index << ']' << (note.empty() ? "" : " ") << note
              << ": " << unit.problems() << '\n';
}

void Tally::fail(std::string_view what, std::string_view problem) {
    ++failed_;
    std::cout << "FAIL " << what << ": " << problem << '\n';
}

void forEachCase(Tally& tally, const json& root, std::string_view section,
                 const std::function<void(Unit&, const json&)>& check) {
    const json* cases = find(root, section);
    if (cases == nullptr)
        return;
    if (!cases->is_array()) {
        tally.fail(section, "not an array");
        return;
    }
    for (std::size_t i = 0; i < cases->size(); ++i) {
        const json& item = (*cases)[i];
        const json* note = find(item, "note");
        std::string noteText = note != nullptr && note->is_string() ? note->get<std::string>() : "";
        tally.run(section, i, noteText, [&](Unit& unit) { check(unit, item); });
    }
}

Expected<json, LoadError> load(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return LoadError{std::string("cannot open: ") + std::strerror(errno)};
    try {
        json root = json::parse(in);
        if (!root.is_object())
            return LoadError{"not a JSON object"};
        // Sections may be missing, but a file with none of them is not a vector file.
        for (const char* section : {"keys", "pairing", "sessions", "input", "request_cases",
                                    "reply_cases", "code_cases", "watch_key_cases", "reply_ready"})
            if (root.contains(section))
                return root;
        return LoadError{"no vector sections"};
    } catch (const std::exception& e) {
        return LoadError{std::string("not valid JSON: ") + e.what()};
    }
}

} // namespace tovali::vectors
