// The filter text of a client data set: FIELD IN ('x', 'y', ...).
#include <stdexcept>

#include "fuzz/targets/Check.h"
#include "platform/data/Filter.h"

namespace {

std::string written(const age::data::InFilter& f) {
    std::string out = f.field + " IN (";
    for (std::size_t i = 0; i < f.values.size(); ++i) {
        out += i ? ", '" : "'";
        for (char c : f.values[i]) out += c == '\'' ? std::string("''") : std::string(1, c);
        out += '\'';
    }
    return out + ")";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        auto filter = age::data::parseInFilter(text);
        if (!filter) return 0;
        AGE_FUZZ_CHECK(!filter->field.empty() && !filter->values.empty());
        auto again = age::data::parseInFilter(written(*filter));
        AGE_FUZZ_CHECK(again && again->field == filter->field && again->values == filter->values);
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
