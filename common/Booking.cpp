#include "common/Booking.h"

#include <algorithm>
#include <cctype>

namespace age {

const BookingField* findBookingField(std::string_view name) {
    auto it = std::find_if(kBookingFields.begin(), kBookingFields.end(),
                           [&](const BookingField& f) { return f.name == name; });
    return it == kBookingFields.end() ? nullptr : &*it;
}

std::string statusWord(std::string_view code) {
    if (code == "A") return std::string(kStatusWords[0]);
    if (code == "E") return std::string(kStatusWords[2]);
    if (code == "C") return std::string(kStatusWords[1]);
    return {};
}

std::optional<std::string> statusCode(std::string_view word) {
    if (word == kStatusWords[0]) return "A";
    if (word == kStatusWords[2]) return "E";
    if (word == kStatusWords[1]) return "C";
    return std::nullopt;
}

std::string formatHour(std::string_view hour) {
    if (hour.size() != 4) return std::string(hour);
    return std::string(hour.substr(0, 2)) + ":" + std::string(hour.substr(2, 2));
}

std::string hourFromDisplay(std::string_view text) {
    std::string hour;
    for (char c : text)
        if (c != ':') hour += c;
    while (!hour.empty() && hour.back() == ' ') hour.pop_back();
    return hour;
}

bool isValidHour(std::string_view hour) {
    if (hour.size() != 4) return false;
    if (!std::all_of(hour.begin(), hour.end(), [](unsigned char c) { return std::isdigit(c); })) return false;
    int h = (hour[0] - '0') * 10 + (hour[1] - '0');
    int m = (hour[2] - '0') * 10 + (hour[3] - '0');
    return h <= 23 && m <= 59;
}

}  // namespace age
