#include "threading/date_time.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"

#include <cstring>

namespace {

constexpr ContextSite kFromFileTimeSite{"VDateTime::VDateTime", 40};
constexpr ContextSite kToFileTimeSite{"VDateTime::operator +=", 266};
constexpr ContextSite kBackFromFileTimeSite{"VDateTime::operator +=", 269};

constexpr uint64_t kTicksPerSecond = 10'000'000;

FILETIME toFileTime(uint64_t value) {
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(value);
    result.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return result;
}

uint64_t fromFileTime(const FILETIME& value) {
    return (static_cast<uint64_t>(value.dwHighDateTime) << 32) | value.dwLowDateTime;
}

}  // namespace

VDateTime::VDateTime(uint64_t fileTime) : VDateTime(toFileTime(fileTime)) {}

VDateTime::VDateTime(const FILETIME& fileTime) {
    SYSTEMTIME time;
    if (!::FileTimeToSystemTime(&fileTime, &time))
        raiseOsError(L"FileTimeToSystemTime", ::GetLastError(), kFromFileTimeSite.entry());
    *this = VDateTime(time);
}

VDateTime::VDateTime(const SYSTEMTIME& time) {
    std::memcpy(static_cast<void*>(this), &time, sizeof(time));
}

VDateTime::VDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute, uint16_t second,
                     uint16_t milliseconds)
    : year(year), month(month), dayOfWeek(0), day(day), hour(hour), minute(minute), second(second),
      milliseconds(milliseconds) {}

VDateTime VDateTime::now() {
    SYSTEMTIME time;
    ::GetLocalTime(&time);
    return VDateTime(time);
}

SYSTEMTIME VDateTime::toSystemTime() const {
    SYSTEMTIME time;
    std::memcpy(&time, this, sizeof(time));
    return time;
}

VDateTime& VDateTime::operator+=(int64_t seconds) {
    const SYSTEMTIME before = toSystemTime();
    FILETIME fileTime;
    if (!::SystemTimeToFileTime(&before, &fileTime))
        raiseOsError(L"SystemTimeToFileTime", ::GetLastError(), kToFileTimeSite.entry());
    // A sum that leaves the file-time range (or the 64 bits on the way) is
    // raised as the conversion back would raise it, never wrapped.
    int64_t delta = 0, sum = 0;
    if (__builtin_mul_overflow(seconds, static_cast<int64_t>(kTicksPerSecond), &delta) ||
        __builtin_add_overflow(static_cast<int64_t>(fromFileTime(fileTime)), delta, &sum) || sum < 0)
        raiseOsError(L"FileTimeToSystemTime", ERROR_ARITHMETIC_OVERFLOW, kBackFromFileTimeSite.entry());
    fileTime = toFileTime(static_cast<uint64_t>(sum));
    SYSTEMTIME after;
    if (!::FileTimeToSystemTime(&fileTime, &after))
        raiseOsError(L"FileTimeToSystemTime", ::GetLastError(), kBackFromFileTimeSite.entry());
    *this = VDateTime(after);
    return *this;
}

std::strong_ordering VDateTime::operator<=>(const VDateTime& other) const {
    if (auto c = year <=> other.year; c != 0) return c;
    if (auto c = month <=> other.month; c != 0) return c;
    if (auto c = day <=> other.day; c != 0) return c;
    if (auto c = hour <=> other.hour; c != 0) return c;
    if (auto c = minute <=> other.minute; c != 0) return c;
    if (auto c = second <=> other.second; c != 0) return c;
    return milliseconds <=> other.milliseconds;
}

std::wstring VDateTime::dateText() const {
    return format(L"%04d%02d%02d", year, month, day);
}

std::wstring VDateTime::timestampText() const {
    return format(L"%04d/%02d/%02d %02d:%02d:%02d:%03d", year, month, day, hour, minute, second, milliseconds);
}
