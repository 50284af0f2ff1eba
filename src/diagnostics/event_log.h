// The product's own Windows event log "Quarn" and the event sources the
// product's programs register in it.
//
// Registry layout (HKEY_LOCAL_MACHINE, the process's own view):
//   SYSTEM\CurrentControlSet\Services\EventLog\Quarn
//       "MaxSize" 0x800000, "Retention" 0: written only when the key is created
//   ...\EventLog\Quarn\<source>
//       "TypesSupported" 7 (error, warning, information)
//       "EventMessageFile": the configuration value "QuarnService"
//
// LogManager (log_manager.h) uses these on its first event-log message; see
// LogManager::getEventLog and LogManager::writeEventLog.
#pragma once

#include "diagnostics/win32.h"

#include <string>

// Creates HKLM "SYSTEM\CurrentControlSet\Services\EventLog\<logName>" with
// "MaxSize" and "Retention" when it does not exist; an existing key and its
// values are left untouched. Raises the registry's error when the key cannot
// be created or written.
void ensureEventLog(const std::wstring& logName);

// Registers the program as the source `name` of the log "Quarn" and returns
// RegisterEventSourceW's handle (null on its failure; GetLastError tells
// why). When the Application log already has a source `name`, the source is
// "Quarn:  " + name instead. The keys are written while holding the named
// mutex "{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}", which serialises this among
// the product's processes; it is waited for without limit.
// Raises the registry's error when a key cannot be written or when the
// configuration value "QuarnService" (HKLM "SOFTWARE\Quarn\ZRT Config\Config",
// 32-bit view) cannot be read; nothing of the source is written then.
HANDLE registerEventSource(const std::wstring& name);
