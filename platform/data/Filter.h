// The filter text of a client data set: FIELD IN ('x', 'y', ...).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace age::data {

struct InFilter {
    std::string field;
    std::vector<std::string> values;  // in the order written; duplicates kept
};

// Reads "FIELD IN ('x', 'y')": blanks anywhere between the parts, values in single quotes with '' for a
// quote inside, IN in any letter case, at least one value. Blank text gives nullopt (no filter). Throws
// std::invalid_argument saying what is wrong and where (1-based character position).
std::optional<InFilter> parseInFilter(std::string_view text);

}  // namespace age::data
