// A calendar date and time with the layout of SYSTEMTIME. It carries no time
// zone: a value is local or UTC depending on where it came from.
#pragma once

#include "diagnostics/win32.h"

#include <compare>
#include <cstdint>
#include <string>

class VDateTime {
public:
    uint16_t year = 0;
    uint16_t month = 0;      // 1..12
    uint16_t dayOfWeek = 0;  // 0 Sunday .. 6 Saturday
    uint16_t day = 0;        // 1..31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;

    VDateTime() = default;
    // The calendar time of a file time (100 ns intervals since 1601-01-01),
    // without time-zone conversion. Raises "FileTimeToSystemTime".
    explicit VDateTime(uint64_t fileTime);
    explicit VDateTime(const FILETIME& fileTime);
    explicit VDateTime(const SYSTEMTIME& time);
    // The day of week is set to 0.
    VDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0, uint16_t minute = 0,
              uint16_t second = 0, uint16_t milliseconds = 0);

    // The current local time.
    static VDateTime now();

    // Moves the value by `seconds` through the file-time form; the day of
    // week is recomputed. Raises "SystemTimeToFileTime" for a value that is
    // not a valid date (month 0, for example) and "FileTimeToSystemTime"
    // when the result is out of range.
    VDateTime& operator+=(int64_t seconds);

    // Compares year, month, day, hour, minute, second and milliseconds; the
    // day of week takes no part.
    std::strong_ordering operator<=>(const VDateTime& other) const;
    bool operator==(const VDateTime& other) const { return (*this <=> other) == 0; }

    // "20261207".
    std::wstring dateText() const;
    // "2026/12/07 22:17:56:042".
    std::wstring timestampText() const;

    SYSTEMTIME toSystemTime() const;
};

static_assert(sizeof(VDateTime) == sizeof(SYSTEMTIME));
