#include "common/Zel_msg.h"

TMessages::TMessages(std::string_view lines) {
    std::size_t start = 0;
    while (start < lines.size()) {
        std::size_t end = start;
        while (end < lines.size() && !(lines[end] == '\n' && (end == 0 || lines[end - 1] != '\r'))) ++end;
        std::string_view line = lines.substr(start, end - start);
        if (auto bar = line.find('|'); bar != std::string_view::npos)
            texts_.emplace(std::string(line.substr(0, bar)), std::string(line.substr(bar + 1)));
        else if (!line.empty())
            throw std::invalid_argument("message catalogue line without '|': " + std::string(line));
        start = end + 1;
    }
}

const std::string& TMessages::Msg(std::string_view key) const {
    auto it = texts_.find(key);
    if (it == texts_.end()) throw std::logic_error("message key not in catalogue: " + std::string(key));
    return it->second;
}

bool TMessages::Contains(std::string_view key) const { return texts_.find(key) != texts_.end(); }
