// Syslog message: priority, timestamp, host and MSG part, and its wire text.
#pragma once

#include <cstdint>

namespace syslog {

enum TIdSyslogSeverity : uint8_t {
  slEmergency,
  slAlert,
  slCritical,
  slError,
  slWarning,
  slNotice,
  slInformational,
  slDebug
};

enum TIdSyslogFacility : uint8_t {
  sfKernel,
  sfUserLevel,
  sfMailSystem,
  sfSystemDaemon,
  sfSecurityOne,
  sfSysLogInternal,
  sfLPR,
  sfNNTP,
  sfClockDaemonOne,
  sfUUCP,
  sfSecurityTwo,
  sfFTPDaemon,
  sfNTP,
  sfLogAudit,
  sfLogAlert,
  sfClockDaemonTwo,
  sfLocalUseZero,
  sfLocalUseOne,
  sfLocalUseTwo,
  sfLocalUseThree,
  sfLocalUseFour,
  sfLocalUseFive,
  sfLocalUseSix,
  sfLocalUseSeven
};

}  // namespace syslog
