// Where the framework sends messages the user must see when no caller can take them (a refusal passed
// through CheckResultServ). The host installs a message box.
#pragma once

#include <functional>
#include <string>

namespace age::rpc {

// Replaces the reporter for the whole process; an empty function restores the default (stderr).
void SetErrorReporter(std::function<void(const std::string&)> reporter);
void ReportError(const std::string& message);

}  // namespace age::rpc
