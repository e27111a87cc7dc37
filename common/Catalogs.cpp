#include <string>

#include "common/Catalogs.h"

namespace age {

std::string formatMessage(std::string_view text, std::string_view argument) {
    std::string out(text);
    if (auto at = out.find("%S"); at != std::string::npos) out.replace(at, 2, argument);
    return out;
}

}  // namespace age
