#include "config/product_config.h"

#include "config/registry.h"
#include "diagnostics/exceptions.h"

namespace product_config {

bool readDword(const wchar_t* name, DWORD& value) {
    try {
        DWORD read = 0;
        if (registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, name, read, registry::View32) != ERROR_SUCCESS)
            return false;
        value = read;
        return true;
    } catch (const vexception&) {
        return false;
    }
}

}  // namespace product_config
