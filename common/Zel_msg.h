// Keyed message catalogue: lines of "key|text", looked up by key.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

class TMessages {
public:
    TMessages() = default;
    // One entry per line; a text may hold "\r\n", so entries are separated by '\n' not preceded by '\r'.
    explicit TMessages(std::string_view lines);

    // The text stored under `key`. An unknown key is a programming error: throws std::logic_error.
    const std::string& Msg(std::string_view key) const;
    bool Contains(std::string_view key) const;
    std::size_t Count() const { return texts_.size(); }

private:
    std::map<std::string, std::string, std::less<>> texts_;
};
