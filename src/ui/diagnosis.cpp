#include "ui/diagnosis.hpp"

#include <QSysInfo>
#include <QtGlobal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/files/file_defaults.hpp"
#include "platform/files/file_keychain.hpp"
#include "server/bluetooth_server.hpp"
#include "server/computer_key.hpp"
#include "trust/trust_store.hpp"

namespace tovali {

namespace {

using Daemon = BluezFindings::Daemon;
using Step = BluezFindings::Step;

// Together with the calls' own time-outs these keep the whole report within three seconds.
constexpr auto bluetoothDeadline = std::chrono::milliseconds(1200);
constexpr int secretServiceTimeoutMs = 400;

const char* restartBluetoothd = "restart it with \u2018sudo systemctl restart bluetooth\u2019; "
                                "\u2018journalctl -u bluetooth\u2019 tells why it failed.";

class Report {
public:
    void line(const std::string& label, const std::string& text) {
        text_ += "  " + label + ": " + std::string(label.size() < 22 ? 22 - label.size() : 0, ' ') +
                 text + "\n";
    }
    void heading(const std::string& text) { text_ += text + "\n"; }
    void problem(const std::string& advice) { problems_.push_back(advice); }

    Diagnosis finish() {
        Diagnosis diagnosis;
        diagnosis.text = text_;
        diagnosis.allInPlace = problems_.empty();
        if (problems_.empty()) {
            diagnosis.text += "All is in place.\n";
            return diagnosis;
        }
        diagnosis.text += std::to_string(problems_.size()) + (problems_.size() == 1
                                                                  ? " problem, and what to do:\n"
                                                                  : " problems, and what to do:\n");
        for (const std::string& advice : problems_)
            diagnosis.text += "  - " + advice + "\n";
        return diagnosis;
    }

private:
    std::string text_;
    std::vector<std::string> problems_;
};

std::string milliseconds(int units) {
    // main.conf counts in steps of 1.25 ms.
    const int hundredths = units * 125;
    std::string text = std::to_string(hundredths / 100);
    if (const int rest = hundredths % 100; rest != 0) {
        text += '.';
        text += std::to_string(rest % 10 == 0 ? rest / 10 : rest);
    }
    return text;
}

std::string yesNo(bool value) {
    return value ? "yes" : "no";
}

void describeDaemon(Report& report, const BluezFindings& b) {
    switch (b.daemon) {
    case Daemon::noSystemBus:
        report.line("bluetoothd", "unknown: no system bus");
        report.problem(
            "No system D-Bus answers: start it with \u2018sudo systemctl start dbus\u2019 "
            "(DBUS_SYSTEM_BUS_ADDRESS, when set, must name it).");
        return;
    case Daemon::missing:
        report.line("bluetoothd", "not running");
        report.problem(
            "bluetoothd is not running: install and start it with \u2018sudo apt "
            "install bluez\u2019 and \u2018sudo systemctl enable --now bluetooth\u2019.");
        return;
    case Daemon::denied:
        report.line("bluetoothd", "the system bus refuses our calls to it");
        report.problem("The system bus does not let this user call bluetoothd: check the "
                       "policies in /etc/dbus-1/system.d/ and /usr/share/dbus-1/system.d/, and "
                       "any sandbox Tovali runs in.");
        return;
    case Daemon::silent:
        report.line("bluetoothd", "no answer");
        report.problem(std::string("bluetoothd does not answer: ") + restartBluetoothd);
        return;
    case Daemon::running:
        report.line("bluetoothd", "running, version " + b.version.value_or("unknown"));
        return;
    }
}

void describeAdapter(Report& report, const BluezFindings& b) {
    if (!b.adapterPath) {
        report.line("adapter", "none");
        report.problem(
            "bluetoothd shows no Bluetooth adapter: plug in one that supports "
            "Bluetooth LE; if one is there, see \u2018rfkill list\u2019 and the kernel's "
            "messages (\u2018sudo dmesg | grep -i bluetooth\u2019).");
        return;
    }
    const bool le = b.gattManager && b.advertisingManager && b.peripheralRole;
    report.line("adapter", *b.adapterPath + " (" + b.address + "), " +
                               (b.powered ? "powered" : "off") + ", LE peripheral: " + yesNo(le));
    report.line("advertising manager", yesNo(b.advertisingManager) +
                                           ", GATT manager: " + yesNo(b.gattManager) +
                                           ", peripheral role: " + yesNo(b.peripheralRole));
    if (!le) {
        report.problem("This adapter cannot be a Bluetooth LE peripheral: use one of Bluetooth "
                       "4.0 or later, and check that /etc/bluetooth/main.conf does not set "
                       "ControllerMode = bredr.");
    } else if (!b.powered) {
        report.problem("Bluetooth is off: switch it on with \u2018bluetoothctl power on\u2019 "
                       "(after \u2018rfkill unblock bluetooth\u2019 when it is blocked).");
    }
}

void describeInterval(Report& report, const std::optional<ConnectionInterval>& interval) {
    if (!interval) {
        report.line("connection interval", "unknown (/etc/bluetooth/main.conf cannot be read)");
        return;
    }
    if (!interval->min && !interval->max) {
        // Not a problem, only slower: the README explains the setting.
        report.line("connection interval",
                    "30\u201350 ms, the kernel's default; 7.5\u201315 ms moves the pointer more "
                    "smoothly: MinConnectionInterval=6 and MaxConnectionInterval=12 under [LE] in "
                    "/etc/bluetooth/main.conf");
        return;
    }
    report.line("connection interval",
                (interval->min ? milliseconds(*interval->min) : std::string("30")) + "\u2013" +
                    (interval->max ? milliseconds(*interval->max) : std::string("50")) +
                    " ms (/etc/bluetooth/main.conf)");
}

void describeStep(Report& report, const std::string& what, Step step, const std::string& refusal,
                  const std::string& advice) {
    switch (step) {
    case Step::notTried:
        report.line("register " + what, "not tried");
        return;
    case Step::done:
        report.line("register " + what, "works (withdrawn again)");
        return;
    case Step::refused:
        report.line("register " + what, "refused: " + refusal);
        report.problem("bluetoothd refused the " + what + ": " + advice);
        return;
    case Step::noAnswer:
        report.line("register " + what, "no answer");
        report.problem("bluetoothd did not answer the " + what +
                       "'s registration: " + restartBluetoothd);
        return;
    }
}

void describeFile(Report& report, const std::string& label, const std::optional<KeptFile>& file,
                  const std::string& note) {
    if (!file) {
        report.line(label, "none: no home folder");
        return;
    }
    report.line(label, file->path + (file->exists ? "" : " (not made yet)") + note);
    if (!file->problem.empty())
        report.problem(file->path + " " + file->problem +
                       ": give it back to your user (\u2018chmod u+rw\u2019 on the file and its "
                       "folders), and move away whatever stands in its place.");
}

std::string secretStoreText(SecretServiceItem item) {
    switch (item) {
    case SecretServiceItem::noService:
        return "files (no Secret Service answers on the session bus)";
    case SecretServiceItem::absent:
        return "Secret Service, no key yet (made at the next start)";
    case SecretServiceItem::present:
        return "Secret Service, key present";
    case SecretServiceItem::locked:
        return "Secret Service, key present in a locked collection";
    case SecretServiceItem::unknown:
        return "Secret Service, which answered with an error";
    }
    return {};
}

KeptFile examine(const std::string& path) {
    KeptFile file{path, false, {}};
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        file.exists = true;
        if (S_ISDIR(status.st_mode)) {
            file.problem = "is a folder, not a file";
        } else if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd < 0) {
            file.problem = std::string("cannot be read (") + std::strerror(errno) + ")";
        } else {
            ::close(fd);
        }
        return file;
    }
    if (errno != ENOENT) {
        file.problem = std::string("cannot be looked at (") + std::strerror(errno) + ")";
        return file;
    }
    // It will be made in the nearest folder that exists.
    std::error_code error;
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    while (!folder.empty() && folder != folder.root_path() &&
           !std::filesystem::exists(folder, error))
        folder = folder.parent_path();
    if (::access(folder.c_str(), W_OK) != 0)
        file.problem = "cannot be made: " + folder.string() + " is not writable";
    return file;
}

} // namespace

Diagnosis describe(const DiagnosisFacts& facts) {
    Report report;
    report.heading("Bluetooth");
    const BluezFindings& b = facts.bluetooth;
    describeDaemon(report, b);
    if (b.daemon == Daemon::running) {
        describeAdapter(report, b);
        describeInterval(report, facts.interval);
        describeStep(report, "service", b.service, b.refusal,
                     std::string("another program may hold the same service, or bluetoothd is "
                                 "in trouble; ") +
                         restartBluetoothd);
        describeStep(report, "advertisement", b.advertisement, b.refusal,
                     "every advertising slot may be taken (\u2018bluetoothctl show\u2019 counts "
                     "them); close other programs that advertise, or restart bluetoothd with "
                     "\u2018sudo systemctl restart bluetooth\u2019.");
    }

    report.heading("Pointer");
    report.line("route", facts.pointer.name + ", " +
                             (facts.pointer.allowed ? "events allowed" : "events not allowed"));
    if (!facts.pointer.allowed)
        report.problem(facts.pointer.advice);

    report.heading("Storage");
    report.line("secret store", secretStoreText(facts.secretStore));
    if (facts.secretStore == SecretServiceItem::locked)
        report.problem("The keyring that holds Tovali's key is locked: unlock it (log in with your "
                       "password, or open \u201cPasswords and Keys\u201d) and Tovali goes on.");
    describeFile(report, "key file", facts.keyFile,
                 facts.secretStore == SecretServiceItem::noService
                     ? ""
                     : ", used only without a Secret Service");
    describeFile(report, "paired watches", facts.listFile, "");
    if (!facts.keyFile)
        report.problem("There is no home folder to keep Tovali's files in: set HOME.");
    return report.finish();
}

int runDiagnosis(const PointerCheck& pointer) {
    // The report is the whole output: QtDBus's occasional warnings about its own types, seen
    // while calls are cut short, would only muddle it.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    DiagnosisFacts facts;
    facts.bluetooth =
        probeBluez(publishedService(), {{gatt::service}, QSysInfo::machineHostName().toStdString()},
                   bluetoothDeadline);
    facts.interval = readConnectionInterval();
    facts.pointer = pointer;
    facts.secretStore = probeSecretService(
        {{"service", computerKeyService}, {"account", computerKeyAccount}}, secretServiceTimeoutMs);
    if (const auto keychain = FileKeychain::fromEnvironment()) {
        const KeychainQuery stored = computerKeyQueries(computerKeyAccount)[1];
        facts.keyFile = examine(keychain->folder() + "/" + FileKeychain::fileName(stored));
    }
    if (const auto defaults = FileDefaults::fromEnvironment())
        facts.listFile = examine(defaults->location(TrustStore::defaultsName));

    const Diagnosis diagnosis = describe(facts);
    std::fputs(("Tovali " TOVALI_VERSION "\n" + diagnosis.text).c_str(), stdout);
    return diagnosis.allInPlace ? 0 : 1;
}

} // namespace tovali
