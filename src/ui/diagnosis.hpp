#pragma once

#include <optional>
#include <string>

#include "platform/bluez/bluez_probe.hpp"
#include "platform/secret_service/secret_service_probe.hpp"
#include "ui/pointer_check.hpp"

namespace tovali {

/// A file Tovali keeps, as found on disk.
struct KeptFile {
    std::string path;
    bool exists = false;
    /// Why it cannot be read, or why its folder cannot be written; empty when all is well.
    std::string problem;
};

/// Everything the diagnosis looks at, found beforehand.
struct DiagnosisFacts {
    BluezFindings bluetooth;
    /// None when main.conf cannot be read.
    std::optional<ConnectionInterval> interval;
    PointerCheck pointer;
    SecretServiceItem secretStore = SecretServiceItem::noService;
    /// None without a home folder.
    std::optional<KeptFile> keyFile;
    std::optional<KeptFile> listFile;
};

struct Diagnosis {
    /// A few readable lines, then one line for each problem saying what to do.
    std::string text;
    bool allInPlace = false;
};

Diagnosis describe(const DiagnosisFacts& facts);

/// Finds the facts within about three seconds, whatever is missing, prints the report on
/// standard output and answers the exit status: 0 when all is in place, 1 otherwise.
int runDiagnosis(const PointerCheck& pointer);

} // namespace tovali
