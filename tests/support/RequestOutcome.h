// What a request reader made of a line, as text that also tells the kinds of values apart (an id 5 read as
// unsigned or as signed compares equal as JSON): both request readers must give the same text for any line.
#pragma once

#include <string>
#include <string_view>

#include "platform/rpc/Wire.h"

namespace age::test {

using rpc::json;

inline std::string typedText(const json& j) {
    std::string out = std::to_string(static_cast<int>(j.type()));
    if (j.is_array()) {
        for (const auto& e : j) out += '[' + typedText(e) + ']';
    } else if (j.is_object()) {
        for (const auto& [key, value] : j.items()) out += '{' + typedText(key) + ':' + typedText(value) + '}';
    } else {
        out += ' ' + j.dump(-1, ' ', false, json::error_handler_t::replace);
    }
    return out;
}

template <class Reader>
std::string requestOutcome(Reader read, std::string_view line) {
    try {
        rpc::Request r = read(line);
        return (r.notification ? "notification " : "call ") + typedText(r.id) + ' ' + typedText(r.method) +
               ' ' + typedText(r.params);
    } catch (const rpc::WireError& e) {
        return "error " + std::to_string(e.code()) + ' ' + e.what();
    }
}

}  // namespace age::test
