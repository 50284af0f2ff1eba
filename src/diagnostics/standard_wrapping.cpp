#include "diagnostics/standard_wrapping.h"

#include "diagnostics/text.h"

#include <comdef.h>

#include <exception>

vexception currentAsVexception(const ContextEntry& entry) {
    try {
        throw;
    } catch (const ThreadCancelation::ThreadCanceled&) {
        throw;
    } catch (const std::exception& e) {
        return vexception(wstr(e.what()), entry);
    } catch (vexception& e) {
        e.addContext(entry);
        return vexception(e);
    } catch (const _com_error& e) {
        return vexception(e, entry.text, entry.function.c_str(), entry.line);
    } catch (const cwrpexception& e) {
        return vexception(e.text(), entry);
    } catch (...) {
        return vexception(L"Unexpected error", entry);
    }
}
