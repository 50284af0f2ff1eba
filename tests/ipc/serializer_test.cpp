#include "ipc/serializer.h"

#include <gtest/gtest.h>

#include "pipe_server.h"

using testing_support::appendU32;
using testing_support::appendWideString;
using testing_support::Bytes;

namespace {

vserializer::reader readerOf(Bytes bytes) { return vserializer::reader(std::move(bytes)); }

// The message of the format error that reading `bytes` as a string raises.
std::wstring stringError(Bytes bytes) {
    auto reader = readerOf(std::move(bytes));
    try {
        reader.readString();
    } catch (const vserializer::invalidprotocol& error) {
        return error.message();
    }
    ADD_FAILURE() << "no format error";
    return {};
}

const std::wstring kEndOfData = L"Unexpected end of data when read from serializer.";

}  // namespace

TEST(SerializerWriter, WritesLittleEndianRecordsAndKeepsThemAsItGrows) {
    vserializer::writer writer;
    const uint8_t one = 7;
    writer.appendRaw(&one, 1);
    writer.appendBlock("abcdefghijklmnop", 16);  // 1 + 4 + 16 = 21 bytes
    ASSERT_EQ(writer.size(), 21u);
    const Bytes written(writer.data(), writer.data() + writer.size());
    EXPECT_EQ(written[0], 7);
    EXPECT_EQ(Bytes(written.begin() + 1, written.begin() + 5), (Bytes{0x10, 0, 0, 0}));
    EXPECT_EQ(std::string(written.begin() + 5, written.end()), "abcdefghijklmnop");

    vserializer::writer text;
    text.appendString(L"PRODUCT_ROOT_D");
    ASSERT_EQ(text.size(), 4u + 29u);
    EXPECT_EQ(Bytes(text.data(), text.data() + 5), (Bytes{0x1D, 0, 0, 0, 2}));
    EXPECT_EQ(text.data()[5], 'P');
    EXPECT_EQ(text.data()[6], 0);

    // Through many growths of the buffer every record stays where it was
    // written, each a little-endian length and its bytes.
    vserializer::writer many;
    Bytes expected;
    for (uint32_t i = 0; i < 1000; ++i) {
        const uint32_t value = i * 0x01010101u;
        many.appendBlock(&value, sizeof(value));
        appendU32(expected, sizeof(value));
        appendU32(expected, value);
    }
    ASSERT_EQ(many.size(), expected.size());
    EXPECT_EQ(Bytes(many.data(), many.data() + many.size()), expected);
}

TEST(SerializerReader, ReadsWhatTheWriterWrote) {
    vserializer::writer writer;
    writer.appendString(L"Zürich 日本");
    writer.appendString(L"");
    writer.appendBlock("xyz", 3);
    auto reader = readerOf(Bytes(writer.data(), writer.data() + writer.size()));
    EXPECT_EQ(reader.readString(), L"Zürich 日本");
    EXPECT_EQ(reader.readString(), L"");
    std::vector<uint8_t> block;
    ASSERT_TRUE(reader.readBlock(block));
    EXPECT_EQ(block, (Bytes{'x', 'y', 'z'}));
    EXPECT_EQ(reader.position(), reader.size());
}

TEST(SerializerReader, EmptyAndTruncatedDataAreFormatErrors) {
    EXPECT_EQ(stringError({}), kEndOfData);
    EXPECT_EQ(stringError({0x05, 0}), kEndOfData);
    // A block whose length points past the end, up to the largest length.
    EXPECT_EQ(stringError({0x08, 0, 0, 0, 2, 'a', 0}), kEndOfData);
    EXPECT_EQ(stringError({0xF0, 0xFF, 0xFF, 0xFF, 2}), kEndOfData);
    EXPECT_EQ(stringError({0, 0, 0, 0}), L"Unexpected end of data when read C-string from serializer.");
    Bytes exact(3);
    auto reader = readerOf({1, 2});
    EXPECT_THROW(reader.readBytes(exact.data(), 3), vserializer::invalidprotocol);
}

TEST(SerializerReader, CharacterSizes) {
    // Size 1 is text of the ANSI code page.
    Bytes narrow;
    appendU32(narrow, 6);
    narrow.push_back(1);
    for (char c : std::string("caf\xE9!")) narrow.push_back(static_cast<uint8_t>(c));
    wchar_t expected[8] = {};
    ASSERT_EQ(::MultiByteToWideChar(CP_ACP, 0, "caf\xE9!", 5, expected, 8), 5);
    EXPECT_EQ(readerOf(narrow).readString(), std::wstring(expected, 5));

    EXPECT_EQ(stringError({2, 0, 0, 0, 4, 'a'}), L"Unsupported char size when read C-string from serializer.");
    EXPECT_EQ(stringError({2, 0, 0, 0, 0, 'a'}), L"Unsupported char size when read C-string from serializer.");
    // Two UTF-16 characters and half of a third.
    EXPECT_NE(stringError({6, 0, 0, 0, 2, 'a', 0, 'b', 0, 'c'}), L"");
}

TEST(SerializerReader, ErrorMarkerRaisesTheServicesText) {
    Bytes reply;
    appendU32(reply, 0xFFFFFFFF);
    appendWideString(reply, L"no value named 'X'");
    auto reader = readerOf(reply);
    try {
        reader.readString();
        FAIL() << "no error";
    } catch (const vserializer::invalidprotocol&) {
        FAIL() << "the service's error is not a format error";
    } catch (const vexception& error) {
        EXPECT_EQ(error.message(), L"no value named 'X'");
    }

    const std::wstring doubled = L"Double exception on read from serializer";
    EXPECT_EQ(stringError({0xFF, 0xFF, 0xFF, 0xFF}), doubled);
    EXPECT_EQ(stringError({0xFF, 0xFF, 0xFF, 0xFF, 9, 0, 0, 0, 2}), doubled);
    EXPECT_EQ(stringError({0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 7, 'a'}), doubled);
    // A marker standing for the error text is garbage, not a second error;
    // a long run of markers must not recurse.
    EXPECT_EQ(stringError(Bytes(4 * 100000, 0xFF)), doubled);
}
