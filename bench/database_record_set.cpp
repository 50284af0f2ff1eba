// Reading 10,000 rows through VMySQLRecordSet::getString against a raw
// mysql_fetch_row loop over the same buffered result that turns each value
// into wide text, on the sandbox MariaDB server.
#include "bench_timing.h"
#include "database/mysql_database_provider.h"
#include "database/mysql_record_set.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"
#include "sandbox_database.h"

#include <winsock2.h>
#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
    constexpr int kRuns = 20;
    const wchar_t* rows =
        L"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000) "
        L"SELECT i, CONCAT('session-', i) AS login, 'Z\u00fcrich' AS city FROM n";
    try {
        const sandboxkit::DatabaseSettings s = sandboxkit::databaseSettings();
        MySQLDatabaseProvider provider;
        provider.connect(s.host, s.database, s.login, s.password, static_cast<int32_t>(_wtol(s.port.c_str())), L"");
        provider.execute(L"SET SESSION max_recursive_iterations = 20000");
        size_t sink = 0;
        double rawTotal = 0, recordSetTotal = 0;
        for (int run = 0; run < kRuns; ++run) {
            RecordSetRef records(provider.query(rows));
            MYSQL_RES* result = nullptr;
            {
                const std::string sql = cstr(rows, CP_UTF8);
                mysql_real_query(provider.handle(), sql.data(), static_cast<unsigned long>(sql.size()));
                result = mysql_store_result(provider.handle());
            }
            const unsigned fields = mysql_num_fields(result);
            rawTotal += microsecondsPerCall(1, [&] {
                wchar_t buffer[256];
                while (MYSQL_ROW row = mysql_fetch_row(result)) {
                    for (unsigned i = 0; i < fields; ++i) {
                        const int n = ::MultiByteToWideChar(CP_UTF8, 0, row[i], -1, buffer, 256);
                        sink += std::wstring(buffer, n > 0 ? n - 1 : 0).size();
                    }
                }
            });
            mysql_free_result(result);
            recordSetTotal += microsecondsPerCall(1, [&] {
                const int count = records->fieldCount();
                while (records->next())
                    for (int i = 0; i < count; ++i) sink += records->getString(i, std::wstring(), false).size();
            });
        }
        std::printf("10,000 rows x 3 columns, raw mysql_fetch_row loop: %.0f us (%zu)\n", rawTotal / kRuns, sink);
        printResult("record set, 10,000 rows x 3 columns / mysql_fetch_row", recordSetTotal / kRuns, rawTotal / kRuns,
                    "us");
    } catch (const vexception& error) {
        std::fwprintf(stderr, L"%ls\n", error.fullText().c_str());
        return 1;
    }
    return 0;
}
