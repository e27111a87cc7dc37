// Reading a server result envelope: the packet of an accepted call, or the server's message as an error.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "platform/data/Abort.h"
#include "platform/data/Packet.h"
#include "platform/rpc/NetConnection.h"

// A refusal or failure reported by the server. The message has been shown already (when the caller asked
// for it), so it is a silent abort for the user-interface boundaries; what() is the server's message.
class EServerError : public EAbort {
  public:
    explicit EServerError(const std::string& message) : EAbort(message) {}
};

namespace Consiste {

// `result` is the raw result of a call. On {"ok":true} returns its packet (an empty one when the data is
// null). On {"ok":false} - or on a result that is no envelope - reports the message through
// age::rpc::ReportError when `showMessage` is true and throws EServerError. `flags` is reserved (0).
age::data::Packet CheckResultServ(const nlohmann::json& result, bool showMessage, int flags);
// The same for a call's result as it came (read from its text without building a JSON tree).
age::data::Packet CheckResultServ(const TResult& result, bool showMessage, int flags);

}  // namespace Consiste
