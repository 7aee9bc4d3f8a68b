#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>

namespace tovali {

/// What the user asked for when starting Tovali. Options are declared in one table in the
/// source and asked for here by their long name.
class CommandLine {
public:
    /// Reads the arguments, the program's name first, before any application object exists.
    static CommandLine parse(const QStringList& arguments);

    /// Set when the program should print `output()` and end at once with this status: after
    /// --help and --version 0, after a mistake 2.
    std::optional<int> exitStatus() const { return exitStatus_; }
    /// For standard output after --help and --version, for standard error after a mistake.
    const QString& output() const { return output_; }

    bool isSet(const QString& name) const { return values_.contains(name); }
    /// The option's value as given, its default when it was not given.
    QString value(const QString& name) const;

private:
    std::optional<int> exitStatus_;
    QString output_;
    QMap<QString, QString> values_;
    QMap<QString, QString> defaults_;
};

} // namespace tovali
