// The byte format in which the management service's arguments and results
// travel. All integers are little-endian.
//
//   block         32-bit length L, then L bytes
//   raw bytes     the bytes alone (one buffer spliced into another)
//   string        a block whose first byte is the character size (1: ANSI
//                 code page, 2: UTF-16LE) followed by the characters, no
//                 terminator; written always with size 2
//   error marker  the length 0xFFFFFFFF where a block was expected, then a
//                 string record with the error text
#pragma once

#include "diagnostics/exceptions.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

class vserializer {
public:
    // A reply that does not follow the format.
    class invalidprotocol : public vexception {
    public:
        explicit invalidprotocol(std::wstring message);
    };

    // An append-only buffer. Its capacity grows to the needed length rounded
    // up to a multiple of 16 bytes; a failed allocation raises the out of
    // memory error.
    class writer {
    public:
        writer() = default;
        writer(writer&&) noexcept = default;
        writer& operator=(writer&&) noexcept = default;

        void appendBlock(const void* data, uint32_t length);
        void appendRaw(const void* data, uint32_t length);
        void appendString(const std::wstring& text);
        void appendErrorMarker(const std::wstring& text);

        const uint8_t* data() const { return data_.get(); }
        uint32_t size() const { return size_; }
        uint32_t capacity() const { return capacity_; }

    private:
        void reserve(uint64_t needed);
        void appendLength(uint32_t length);

        struct Free {
            void operator()(uint8_t* p) const noexcept { std::free(p); }
        };
        std::unique_ptr<uint8_t, Free> data_;
        uint32_t size_ = 0;
        uint32_t capacity_ = 0;
    };

    // Reads records from a reply it owns. Every read checks the bytes left
    // first: a length that points past the end raises "Unexpected end of data
    // when read from serializer." before anything is allocated.
    class reader {
    public:
        explicit reader(std::vector<uint8_t> data = {});

        // Exactly `count` bytes.
        void readBytes(void* target, uint32_t count);
        // The next block into `block`; false (block emptied) for length 0.
        // An error marker raises a vexception with the service's text.
        bool readBlock(std::vector<uint8_t>& block);
        // The next string record.
        std::wstring readString();

        uint32_t position() const { return position_; }
        uint32_t size() const { return static_cast<uint32_t>(data_.size()); }

    private:
        bool readBlock(std::vector<uint8_t>& block, bool markerAllowed);
        std::wstring readString(bool markerAllowed);

        std::vector<uint8_t> data_;
        uint32_t position_ = 0;
    };
};
