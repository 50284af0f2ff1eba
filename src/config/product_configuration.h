// The product's configuration values, owned by the management service
// "quarnsrv" and asked of it over its pipe (QuarnSrvClient).
//
// The database getters never raise: when the service cannot answer they
// return their defaults. The password, the product root and the folders
// derived from it have no default: their callers receive the error.
#pragma once

#include <string>

// "MySQL_DB_HOST", default "localhost".
std::wstring getDbHost();
// "QUARN_DATABASE_LOGIN", default "admin".
std::wstring getDbLogin();
// "mySQLDBName", default "zrt".
std::wstring getDbName();
// "MySQL_DB_PORT", default "8306".
std::wstring getDbPort();
// "QUARN_DATABASE_PROVIDER_NAME", default "MySQL".
std::wstring getDbProviderName();
// The stored password of the key "pwd". Raises.
std::wstring getDbPassword();

// "PRODUCT_ROOT_D", canonicalised, without trailing separators. The first
// successful answer is kept for the life of the process; a failure raises
// and is retried on the next call. An answer that leaves nothing raises
// "PRODUCT_ROOT_D is empty".
std::wstring getProductRoot();
// The product root joined with "admin", "admin\bin" and "admin\bin64".
std::wstring getAdminDir();
std::wstring getAdminBinDir();
std::wstring getAdminBin64Dir();
