#pragma once

#include "platform/system_log.hpp"

namespace tovali {

/// Lines to syslog as "tovali" with the process id, which systemd's journal takes in. The
/// syslog connection belongs to the process, so have one of these at a time.
class SyslogSystemLog final : public SystemLog {
public:
    SyslogSystemLog();
    ~SyslogSystemLog() override;
    SyslogSystemLog(const SyslogSystemLog&) = delete;
    SyslogSystemLog& operator=(const SyslogSystemLog&) = delete;

    void write(std::string_view line) override;
    /// A line of routine news, below the warnings that write() sends.
    void note(std::string_view line);

private:
    void send(int priority, std::string_view line);
};

} // namespace tovali
