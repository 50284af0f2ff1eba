#include "diagnostics/log_manager.h"

// Routing is filled in with the product log; until then messages go nowhere.
void LogManager::print(int, const wchar_t*, ...) {}
void LogManager::logError(int, const vexception&) {}
