#include "platform/xdg/xdg_login_item.hpp"

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "platform/files/atomic_file.hpp"
#include "platform/files/private_folder.hpp"
#include "platform/files/xdg_paths.hpp"

namespace tovali {

namespace {

constexpr std::string_view entryName = "tovali.desktop";
// Autostart folders are readable by all, as the desktop makes them; the XDG rules want the base
// folder above private when we are the ones making it.
constexpr mode_t autostartMode = 0755;
constexpr mode_t parentMode = 0700;
// Far beyond any real entry: a bigger file is not read.
constexpr off_t maxEntrySize = 64 * 1024;

std::string reason(int error) {
    return error != 0 ? std::generic_category().message(error) : "unknown error";
}

std::string failure(std::string_view doing, const std::string& path, int error) {
    return "Could not " + std::string(doing) + " " + path + ": " + reason(error);
}

constexpr const char* noHome =
    "Could not find your home folder, where the entry that opens Tovali at login is kept.";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Readers take both spellings of a boolean.
bool isTrue(std::string_view value) {
    return value == "true" || value == "1";
}

bool isFalse(std::string_view value) {
    return value == "false" || value == "0";
}

bool isEnabledDesktopEntry(std::string_view text) {
    bool inEntry = false;
    bool seenEntry = false;
    bool hidden = false;
    bool gnomeEnabled = true;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inEntry = line == "[Desktop Entry]";
            seenEntry = seenEntry || inEntry;
            continue;
        }
        const auto equals = line.find('=');
        if (!inEntry || equals == std::string_view::npos)
            continue;
        const auto key = trimmed(line.substr(0, equals));
        const auto value = trimmed(line.substr(equals + 1));
        if (key == "Hidden")
            hidden = isTrue(value);
        else if (key == "X-GNOME-Autostart-enabled")
            gnomeEnabled = !isFalse(value);
    }
    return seenEntry && !hidden && gnomeEnabled;
}

std::optional<std::string> readEntry(const std::string& path) {
    // Non-blocking, so that a FIFO in place of the entry cannot stall the open.
    files::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > maxEntrySize)
        return std::nullopt;
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t used = 0;
    while (used < text.size()) {
        const ssize_t count = ::read(fd.get(), text.data() + used, text.size() - used);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return std::nullopt;
        if (count == 0)
            break;
        used += static_cast<std::size_t>(count);
    }
    text.resize(used);
    return text;
}

// A reader undoes a string value's escapes first and the Exec key's quoting after, so the
// quoting goes on first and the escapes over it.
std::string execArgument(std::string_view argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        if (c == '%')
            quoted += '%'; // "%%", or it would be read as a field code
        quoted += c;
    }
    quoted += '"';
    std::string escaped;
    for (const char c : quoted) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string entryText(const std::string& executable, bool hidden) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tovali\n"
           "Comment=Lets your paired watch drive the pointer\n"
           "Exec=" +
           execArgument(executable) +
           "\n"
           "Icon=tovali\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=" +
           (hidden ? "false\nHidden=true\n" : std::string("true\n"));
}

files::UniqueFd openFolder(const std::string& path) {
    return files::UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// None on success, else the failure sentence.
std::optional<std::string> makeFolder(const std::string& path) {
    for (auto slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), parentMode) != 0 && errno != EEXIST)
            return failure("create", parent, errno);
    }
    if (::mkdir(path.c_str(), autostartMode) != 0 && errno != EEXIST)
        return failure("create", path, errno);
    return std::nullopt;
}

std::optional<std::string> writeEntry(const std::string& folder, const std::string& executable,
                                      bool hidden) {
    const std::string path = folder + "/" + std::string(entryName);
    files::UniqueFd fd = openFolder(folder);
    if (!fd.valid() && errno == ENOENT) {
        if (auto error = makeFolder(folder))
            return error;
        fd = openFolder(folder);
    }
    if (!fd.valid())
        return failure("open", folder, errno);
    const std::string text = entryText(executable, hidden);
    errno = 0;
    if (files::saveFile(fd.get(), std::string(entryName), asBytes(text),
                        files::Placement::replace) != files::SaveOutcome::saved)
        return failure("write", path, errno);
    return std::nullopt;
}

} // namespace

XdgLoginItem::XdgLoginItem(std::string autostartFolder, std::string executable,
                           std::vector<std::string> systemAutostartFolders)
    : folder_(std::move(autostartFolder)), executable_(std::move(executable)),
      systemFolders_(std::move(systemAutostartFolders)) {}

XdgLoginItem XdgLoginItem::fromEnvironment(std::string executable) {
    auto base = files::configHome();
    std::vector<std::string> systemFolders;
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::string_view list = dirs != nullptr && dirs[0] != '\0' ? dirs : "/etc/xdg";
    while (!list.empty()) {
        const auto colon = list.find(':');
        const auto dir = list.substr(0, colon);
        // Relative paths are invalid there and ignored, as the XDG rules say.
        if (dir.starts_with('/'))
            systemFolders.push_back(std::string(dir) + "/autostart");
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
    return XdgLoginItem(base ? *base + "/autostart" : std::string(), std::move(executable),
                        std::move(systemFolders));
}

std::optional<std::string> XdgLoginItem::systemEntry() const {
    // The first folder that holds the name is the one the session reads.
    for (const std::string& folder : systemFolders_) {
        if (auto text = readEntry(folder + "/" + std::string(entryName)))
            return text;
    }
    return std::nullopt;
}

bool XdgLoginItem::isRegistered() {
    try {
        auto text =
            folder_.empty() ? std::nullopt : readEntry(folder_ + "/" + std::string(entryName));
        // The user's entry, when there is one, stands for the system-wide one.
        if (!text)
            text = systemEntry();
        return text && isEnabledDesktopEntry(*text);
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::string> XdgLoginItem::registerItem() {
    try {
        if (folder_.empty())
            return noHome;
        return writeEntry(folder_, executable_, false);
    } catch (const std::exception&) {
        return "Could not write the entry that opens Tovali at login: out of memory";
    }
}

std::optional<std::string> XdgLoginItem::unregisterItem() {
    try {
        const bool systemWide = systemEntry().has_value();
        if (folder_.empty())
            return systemWide ? std::optional<std::string>(noHome) : std::nullopt;
        // Removing ours would leave the system-wide one to start Tovali.
        if (systemWide)
            return writeEntry(folder_, executable_, true);
        const std::string path = folder_ + "/" + std::string(entryName);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return failure("remove", path, errno);
        return std::nullopt;
    } catch (const std::exception&) {
        return "Could not remove the entry that opens Tovali at login: out of memory";
    }
}

} // namespace tovali
