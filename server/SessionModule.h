// Sign-in on the wire: Session.Login(operator, password), Session.Resume(token), Session.Logout(), with the
// module's result envelope. The connection's Caller keeps the signed-in operator; with --auth password
// every call of the agenda module passes admit() first.
#pragma once

#include <chrono>

#include "server/Auth.h"
#include "server/Clock.h"
#include "server/Dispatch.h"
#include "server/storage/Storage.h"

namespace age::server {

inline constexpr int kNoSession = -32001;  // JSON-RPC error of a module call without a session
inline constexpr std::string_view kSessionModule = "Session";

enum class AuthMode { Password, None };

struct SessionOptions {
    AuthMode mode = AuthMode::Password;
    std::chrono::hours lifetime{12};
    // How often a connection's session is looked up again (revoked, operator disabled).
    std::chrono::seconds recheckEvery{60};
    auth::ThrottlePolicy throttle{};
};

class SessionModule {
  public:
    SessionModule(Storage& storage, const Clock& clock, SessionOptions options);
    // Registers Session.*; with AuthMode::Password also guards `guardedModule`.
    void registerIn(Dispatcher& dispatcher, const std::string& guardedModule);

    Reply Login(const Args& args);
    Reply Resume(const Args& args);
    Reply Logout(const Args& args);
    // Throws CallFault(kNoSession) unless the caller holds a live session.
    void admit(Caller& caller);

  private:
    Reply refuseSignIn(Caller& caller, const std::string& op, const std::string& host, const std::string& why);
    Reply bind(Caller& caller, const SessionRecord& session);

    Storage& storage_;
    const Clock& clock_;
    SessionOptions options_;
    auth::LoginThrottle throttle_;
    AnonymousWarnings anonymousWarnings_;  // refusals of locked sign-ins and unknown sessions
};

}  // namespace age::server
