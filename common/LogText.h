// Client text on its way into a log line or an error message: shown, never obeyed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace age {

// `text` made safe to show inside quotes: control characters become escapes ("\n", "\t", "\x01"), bytes
// that are not UTF-8 become "\xNN", and the text is cut after `max` characters with "…". No quote marks
// are added: "Sala \"" + age::quoted(room) + "\" não cadastrada.". Call it qualified: for a std::string,
// argument-dependent lookup would pick std::quoted.
std::string quoted(std::string_view text, std::size_t max = 64);

}  // namespace age
