#include "ipc/serializer.h"

#include "diagnostics/text.h"

#include <cstring>

namespace {

constexpr uint32_t kErrorMarker = 0xFFFFFFFFu;
constexpr uint8_t kNarrowChars = 1;
constexpr uint8_t kWideChars = 2;

constexpr ContextSite kReserve{"vserializer::writer::reserve", 31};

const wchar_t* const kEndOfData = L"Unexpected end of data when read from serializer.";
const wchar_t* const kNoString = L"Unexpected end of data when read C-string from serializer.";
const wchar_t* const kBadCharSize = L"Unsupported char size when read C-string from serializer.";
const wchar_t* const kOddWideString = L"Odd byte count of a UTF-16 C-string in serializer.";
const wchar_t* const kDoubleException = L"Double exception on read from serializer";

}  // namespace

vserializer::invalidprotocol::invalidprotocol(std::wstring message) : vexception(std::move(message)) {}

void vserializer::writer::reserve(uint64_t needed) {
    if (needed <= capacity_) return;
    const uint64_t rounded = (needed + 15) & ~uint64_t{15};
    if (rounded > UINT32_MAX) raiseOsError(nullptr, ERROR_OUTOFMEMORY, kReserve.entry());
    void* grown = std::realloc(data_.get(), static_cast<size_t>(rounded));
    if (!grown) raiseOsError(nullptr, ERROR_OUTOFMEMORY, kReserve.entry());
    data_.release();
    data_.reset(static_cast<uint8_t*>(grown));
    capacity_ = static_cast<uint32_t>(rounded);
}

void vserializer::writer::appendRaw(const void* data, uint32_t length) {
    if (length == 0) return;
    reserve(uint64_t{size_} + length);
    std::memcpy(data_.get() + size_, data, length);
    size_ += length;
}

void vserializer::writer::appendLength(uint32_t length) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                              static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    appendRaw(bytes, sizeof bytes);
}

void vserializer::writer::appendBlock(const void* data, uint32_t length) {
    reserve(uint64_t{size_} + 4 + length);
    appendLength(length);
    appendRaw(data, length);
}

void vserializer::writer::appendString(const std::wstring& text) {
    const uint64_t bytes = uint64_t{text.size()} * 2;
    if (bytes + 1 > UINT32_MAX - 4) raiseOsError(nullptr, ERROR_OUTOFMEMORY, kReserve.entry());
    reserve(uint64_t{size_} + 4 + 1 + bytes);
    appendLength(static_cast<uint32_t>(bytes + 1));
    appendRaw(&kWideChars, 1);
    for (wchar_t c : text) {
        const uint8_t pair[2] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)};
        appendRaw(pair, 2);
    }
}

void vserializer::writer::appendErrorMarker(const std::wstring& text) {
    appendLength(kErrorMarker);
    appendString(text);
}

vserializer::reader::reader(std::vector<uint8_t> data) : data_(std::move(data)) {}

void vserializer::reader::readBytes(void* target, uint32_t count) {
    if (count > data_.size() - position_) throw invalidprotocol(kEndOfData);
    if (count != 0) std::memcpy(target, data_.data() + position_, count);
    position_ += count;
}

bool vserializer::reader::readBlock(std::vector<uint8_t>& block) { return readBlock(block, true); }

bool vserializer::reader::readBlock(std::vector<uint8_t>& block, bool markerAllowed) {
    block.clear();
    uint8_t bytes[4];
    readBytes(bytes, 4);
    const uint32_t length = bytes[0] | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
                            (uint32_t{bytes[3]} << 24);
    if (length == kErrorMarker) {
        // The error text itself may not be another error: a chain of markers
        // is a broken record, not a reason to recurse.
        if (!markerAllowed) throw invalidprotocol(kDoubleException);
        std::wstring text;
        try {
            text = readString(false);
        } catch (const vexception&) {
            throw invalidprotocol(kDoubleException);
        }
        throw vexception(text);
    }
    if (length == 0) return false;
    if (length > data_.size() - position_) throw invalidprotocol(kEndOfData);
    block.assign(data_.begin() + position_, data_.begin() + position_ + length);
    position_ += length;
    return true;
}

std::wstring vserializer::reader::readString() { return readString(true); }

std::wstring vserializer::reader::readString(bool markerAllowed) {
    std::vector<uint8_t> block;
    if (!readBlock(block, markerAllowed)) throw invalidprotocol(kNoString);
    const size_t bytes = block.size() - 1;
    switch (block[0]) {
    case kNarrowChars:
        return wstr(std::string(block.begin() + 1, block.end()));
    case kWideChars: {
        if (bytes % 2 != 0) throw invalidprotocol(kOddWideString);
        std::wstring text(bytes / 2, L'\0');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<wchar_t>(block[1 + 2 * i] | (block[2 + 2 * i] << 8));
        return text;
    }
    default:
        throw invalidprotocol(kBadCharSize);
    }
}
