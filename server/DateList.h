// The automatic booking's date list: "_dd/mm/yyyy" repeated, ascending, at most 98 days.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/Dates.h"

namespace age::server {

// Throws CallFault(-32602) with a message saying what is wrong; "" gives no days.
std::vector<Date> parseDateList(std::string_view list);
std::string formatDateList(const std::vector<Date>& days);

}  // namespace age::server
