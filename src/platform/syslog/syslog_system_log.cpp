#include "platform/syslog/syslog_system_log.hpp"

#include <exception>
#include <string>
#include <syslog.h>

namespace tovali {

SyslogSystemLog::SyslogSystemLog() {
    // openlog keeps the pointer, so the identity must outlive every call: a literal does.
    ::openlog("tovali", LOG_PID, LOG_USER);
}

SyslogSystemLog::~SyslogSystemLog() {
    ::closelog();
}

void SyslogSystemLog::write(std::string_view line) {
    send(LOG_WARNING, line);
}

void SyslogSystemLog::note(std::string_view line) {
    send(LOG_INFO, line);
}

void SyslogSystemLog::send(int priority, std::string_view line) {
    try {
        std::string text(line);
        // The line is an argument, never the format: a '%' in it is printed as it is.
        ::syslog(priority, "%s", text.c_str());
    } catch (const std::exception&) {
        // Without memory for a copy of the line there is nothing left to report it with.
    }
}

} // namespace tovali
