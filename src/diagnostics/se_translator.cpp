#include "diagnostics/se_translator.h"

// Translation itself is installed by the crash-dump support; until then the
// scope only marks the boundary.
SeTranslatorScope::SeTranslatorScope() = default;
SeTranslatorScope::~SeTranslatorScope() = default;
