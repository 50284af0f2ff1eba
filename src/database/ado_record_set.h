// The rows of one ADO query: an ADODB.Recordset opened with a static client
// cursor, behind IDatabaseRecordSet. The first row is current after opening
// and is handed out by the first `next` (the first-row-pending flag).
#pragma once

#include "database/database_provider.h"
#include "diagnostics/com_ptr.h"

struct _ADORecordset;
class VADOConnection;

// The text of a column value: a byte array (VT_ARRAY of VT_UI1) gives its
// bytes from the lower to the upper bound decoded as UTF-8, as the MySQL
// record set decodes a binary column, whatever the machine's code page; a
// string its text, a date "%04d-%02d-%02d %02d:%02d:%02d", anything else
// what VariantChangeType makes of it as a string (empty for NULL and EMPTY).
std::wstring variantText(const VARIANT& value);

class VADORecordSetProvider : public DatabaseRecordSetBase {
public:
    // Logs "ADO open recordset: %s" (passwords masked) and opens `sql` on
    // the connection. Raises the connection's error text in context "VADORecordSet::open".
    static RecordSetRef open(VADOConnection& connection, const std::wstring& sql);

    VADORecordSetProvider(const VADORecordSetProvider&) = delete;
    VADORecordSetProvider& operator=(const VADORecordSetProvider&) = delete;

    bool next() override;
    // False for an empty set; otherwise positions and true.
    bool moveFirst() override;
    bool moveLast() override;
    int fieldCount() override;
    int fieldIndex(const std::wstring& name) override;
    bool hasField(const std::wstring& name) override;
    std::wstring fieldName(int index) override;
    bool isNull(int index, bool emptyIsNull) override;
    bool isEmpty(int index, bool valueForNull) override;
    std::wstring getString(int index, const std::wstring& defaultText, bool emptyIsNull) override;
    bool getValue(int index, std::wstring& text, bool emptyIsNull) override;
    // RecordCount, 32-bit and sign-extended.
    uint64_t rowCount() override;
    // The current value is a byte array; getBytes gives its bytes exactly.
    bool isBinary(int index) override;
    bool getBytes(int index, std::string& bytes) override;

protected:
    ~VADORecordSetProvider() override;

private:
    template <class RecordSet, class... Args>
    friend RecordSetRef makeRecordSet(Args&&... args);
    explicit VADORecordSetProvider(ComPtr<_ADORecordset> records);
    bool endOfData();
    // Raises "No current row" at the end (or before the start) of the set.
    void value(int index, UniqueVariant& out);

    ComPtr<_ADORecordset> records_;
    bool firstRowPending_ = true;
};
