#pragma once
// Calendar arithmetic for the dates the updater and the publisher read: HTTP
// dates and access-log times, all in the proleptic Gregorian calendar.

#include <cstdint>
#include <string_view>

namespace civil_date {

// Days since 1970-01-01 of year-month-day (month 1 to 12).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day);

// 1 to 12 for the English month abbreviation name ("Jan" to "Dec", in that
// case); 0 for anything else.
int MonthOfName(std::string_view name);

}  // namespace civil_date
