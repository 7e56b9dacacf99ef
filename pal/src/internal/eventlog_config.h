#pragma once
#include <cstdint>
#include <string>

namespace pal {
// Size at which System.log is rotated to System.log.1 (16 MiB).
void SetEventLogRotateBytes(uint64_t bytes);
// Datagram socket that receives the syslog mirror (default /dev/log).
void SetSyslogSocketPath(const std::string& path);
}  // namespace pal
