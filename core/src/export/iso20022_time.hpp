// Times as ISO 20022 writes them: always with their zone.
#pragma once

#include <cstdint>
#include <string>

#include "tallyfold/model.hpp"

namespace tallyfold::camt {

/// "YYYY-MM-DDTHH:MM:SSZ"; years outside 0..9999 are clamped, which no real clock needs.
std::string utc_date_time(std::int64_t seconds);

/// Seconds since 1970 of midnight UTC at the start of `date`.
std::int64_t utc_midnight(const Date& date);

/// The report's own time with its offset; without one it is the bank's local time.
std::string report_date_time(const ReportTime& t);

}  // namespace tallyfold::camt
