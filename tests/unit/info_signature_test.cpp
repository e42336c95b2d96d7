// The signing-time rule of the build information's signature.
#include <doctest.h>

#include "checkversion/info_signature.h"

namespace {

const LONGLONG llMinute = 600000000LL;          // in a FILETIME's 100 ns
const LONGLONG llDay = 1440 * llMinute;

FILETIME At(ULONGLONG ullTicks)
{
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)ullTicks;
    ft.dwHighDateTime = (DWORD)(ullTicks >> 32);
    return ft;
}

} // namespace

TEST_CASE("A signature counts within the validity, not before it was made, and always without one")
{
    // 2026-01-01, in ticks since 1601.
    const ULONGLONG ullNow = 134117568000000000ULL;
    struct { const wchar_t* validity; LONGLONG llAge; SigningTime expected; } cases[] = {
        {L"30", 29 * llDay, SIGNED_IN_TIME},
        {L"30", 30 * llDay, SIGNED_IN_TIME},                    // the last moment
        {L"30", 30 * llDay + 1, SIGNED_TOO_LONG_AGO},
        {L"30", 400 * llDay, SIGNED_TOO_LONG_AGO},              // a replayed old file
        {L"30", -59 * llMinute, SIGNED_IN_TIME},                // the clocks' skew
        {L"30", -61 * llMinute, SIGNED_IN_FUTURE},
        {L"30", -2 * llDay, SIGNED_IN_FUTURE},
        {L"0", 0, SIGNED_IN_TIME},
        {L"0", 1, SIGNED_TOO_LONG_AGO},
        {L"", 3650 * llDay, SIGNED_IN_TIME},                    // no limit, either way
        {L"", -365 * llDay, SIGNED_IN_TIME},
        {L"99999999999999999999", 100000 * llDay, SIGNED_IN_TIME},   // no 64-bit wrap
        {L"30 days", 0, VALIDITY_UNREADABLE},
        {L" 30", 0, VALIDITY_UNREADABLE},
        {L"-1", 0, VALIDITY_UNREADABLE},
    };
    for (auto& c : cases)
    {
        CAPTURE(c.validity);
        CAPTURE(c.llAge);
        CHECK(CheckSigningTime(At(ullNow - c.llAge), At(ullNow), c.validity) == c.expected);
    }
}
