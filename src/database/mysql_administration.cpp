#include "database/mysql_administration.h"

#include "diagnostics/log_manager.h"
#include "diagnostics/text.h"

#include <cstdlib>

MySQLAdministration::MySQLAdministration(const std::wstring& host, const std::wstring& adminLogin,
                                         const std::wstring& adminPassword, int32_t port)
    : database_(L"MySQL", false) {
    provider()->connect(host, L"mysql", adminLogin, adminPassword, port, std::wstring());
    database_.execute(L"SET SESSION old_passwords=0");
}

bool MySQLAdministration::userExists(const std::wstring& login) {
    const std::wstring sql =
        L"SELECT COUNT(*) FROM mysql.user WHERE (mysql.user.User = '" + provider()->escape(login) + L"')";
    LogManager::print(LogInfo, L"SQL: %s", sql.c_str());
    RecordSetRef rows(provider()->query(sql));
    if (!rows->next()) return false;
    return _wtol(rows->getString(0, std::wstring(), true).c_str()) > 0;
}

void MySQLAdministration::grantAll(const std::wstring& login, const std::wstring& password,
                                   const std::wstring& clientHost) {
    const std::wstring sql = format(L"GRANT ALL PRIVILEGES ON *.* TO '%s'@'%s' IDENTIFIED BY '%s' WITH GRANT OPTION",
                                    provider()->escape(login).c_str(), provider()->escape(clientHost).c_str(),
                                    provider()->escape(password).c_str());
    database_.execute(sql);
}
