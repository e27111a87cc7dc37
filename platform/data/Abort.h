// The silent abort: ends the current operation without a message of its own.
#pragma once

#include <stdexcept>
#include <string>

// A handler that throws it ends the operation that raised its event (a post stays in its state, an edit
// does not start). Every toolkit boundary drops it without a message; whoever throws it has already told
// the user what was wrong, or means to say nothing.
class EAbort : public std::runtime_error {
public:
    EAbort() : std::runtime_error("operation aborted") {}
    explicit EAbort(const std::string& what) : std::runtime_error(what) {}
};
