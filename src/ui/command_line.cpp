#include "ui/command_line.hpp"

#include <QCommandLineParser>

namespace tovali {

namespace {

struct OptionEntry {
    const char* name;
    const char* description;
    /// Empty for a switch.
    const char* valueName = "";
    const char* defaultValue = "";
};

// One line per option; the man page (data/tovali.1.in) lists the same.
const OptionEntry options[] = {
    {"pointer",
     "How pointer events reach the desktop: auto, x11 (XTest), wlroots (the wlroots virtual "
     "pointer) or portal (the RemoteDesktop portal).",
     "route", "auto"},
    {"diagnose", "Check Bluetooth, the pointer route, the secret store and Tovali's files, say "
                 "what to do about each problem, and exit: 0 when all is in place, 1 otherwise."},
    {"verbose", "Log each registration, connection, session and pairing to standard error and "
                "the journal."},
};

} // namespace

CommandLine CommandLine::parse(const QStringList& arguments) {
    CommandLine line;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Lets a paired smart watch move the pointer, click and scroll over Bluetooth LE.");
    // Qt's own help option would offer --help-all, for options of Qt's that are not taken here.
    const QCommandLineOption help({"h", "help"}, "Show these options and exit.");
    const QCommandLineOption version({"v", "version"}, "Show the version and exit.");
    parser.addOption(help);
    parser.addOption(version);
    for (const OptionEntry& entry : options) {
        QCommandLineOption option(entry.name, entry.description, entry.valueName,
                                  entry.defaultValue);
        parser.addOption(option);
        if (*entry.defaultValue != '\0')
            line.defaults_.insert(entry.name, entry.defaultValue);
    }

    if (!parser.parse(arguments)) {
        line.exitStatus_ = 2;
        line.output_ = "tovali: " + parser.errorText() + "\nTry 'tovali --help'.\n";
        return line;
    }
    if (!parser.positionalArguments().isEmpty()) {
        line.exitStatus_ = 2;
        line.output_ = "tovali: unexpected argument '" + parser.positionalArguments().first() +
                       "'\nTry 'tovali --help'.\n";
        return line;
    }
    if (parser.isSet(help)) {
        line.exitStatus_ = 0;
        // Without an application object Qt cannot name the program in the usage line.
        line.output_ = parser.helpText().replace("<executable_name>", "tovali");
        return line;
    }
    if (parser.isSet(version)) {
        line.exitStatus_ = 0;
        line.output_ = QStringLiteral("tovali " TOVALI_VERSION "\n");
        return line;
    }
    for (const OptionEntry& entry : options) {
        if (parser.isSet(entry.name))
            line.values_.insert(entry.name, parser.value(entry.name));
    }
    return line;
}

QString CommandLine::value(const QString& name) const {
    return values_.value(name, defaults_.value(name));
}

} // namespace tovali
