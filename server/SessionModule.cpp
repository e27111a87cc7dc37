#include "server/SessionModule.h"

#include <spdlog/spdlog.h>

#include "server/History.h"
#include "server/Metrics.h"

namespace age::server {
namespace {

using SteadyClock = std::chrono::steady_clock;

const std::string kBadSignIn = "Operador ou senha inválidos.";
const std::string kNoSessionText = "Sessão não iniciada: entre com operador e senha.";
const std::string kTooSoon =
    "Muitas tentativas de entrada sem sucesso a partir deste endereço; tente novamente em instantes.";
const std::string kSessionGone = "Sessão expirada ou encerrada: entre novamente com operador e senha.";

// A name typed by anyone, bounded before it is kept in memory or in the history (whole UTF-8 characters).
std::string bounded(const std::string& text, std::size_t maxBytes = 40) {
    if (text.size() <= maxBytes) return text;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

Reply envelope(json result, std::chrono::milliseconds delay = {}) {
    Reply reply;
    reply.result = std::move(result);
    reply.delay = delay;
    return reply;
}

}  // namespace

SessionModule::SessionModule(Storage& storage, const Clock& clock, SessionOptions options)
    : storage_(storage), clock_(clock), options_(options), throttle_(options.throttle) {}

void SessionModule::registerIn(Dispatcher& d, const std::string& guardedModule) {
    const std::string module(kSessionModule);
    using K = ArgKind;
    d.add(module, {"Login", {{"operador", K::Text}, {"senha", K::Text}}, [this](const Args& a) { return Login(a); },
                   true, Lane::Write});
    d.add(module, {"Resume", {{"token", K::Text}}, [this](const Args& a) { return Resume(a); }});
    d.add(module, {"Logout", {}, [this](const Args& a) { return Logout(a); }, true, Lane::Write});
    if (options_.mode == AuthMode::Password) d.guard(guardedModule, [this](Caller& c) { admit(c); });
}

Reply SessionModule::Login(const Args& args) {
    Caller& caller = args.caller();
    const std::string op = bounded(args.text(0));
    const std::string& password = args.text(1);
    const std::string host = auth::hostOf(caller.address);
    if (throttle_.locked(op, host, SteadyClock::now())) {
        if (auto extra = anonymousWarnings_.admit())
            spdlog::warn("sign-in of operator \"{}\" from {} refused: locked after repeated failures{}",
                         auth::escaped(op), caller.address, *extra);
        metrics().signIn(false);
        auto minutes = std::to_string(options_.throttle.lockFor.count());
        return envelope(rpc::errorEnvelope("Muitas tentativas de entrada sem sucesso: o operador está bloqueado "
                                           "neste endereço por " + minutes + " minutos."),
                        throttle_.delayFor(op, host, SteadyClock::now()));
    }
    if (options_.mode == AuthMode::Password) {
        if (auto wait = throttle_.waitLeft(host, SteadyClock::now()); wait.count() > 0) {
            spdlog::debug(
                "sign-in of operator \"{}\" from {} refused unverified: the address's last failure "
                "is still being waited out",
                auth::escaped(op), caller.address);
            metrics().signIn(false);
            return envelope(rpc::errorEnvelope(kTooSoon), wait);
        }
    }
    // Every refusal costs one password verification, so its time tells nothing of why. (--auth none checks
    // no password: only that the operator exists and is enabled.)
    auto credential = op.size() == args.text(0).size() ? storage_.readOne()->credential(op) : std::nullopt;
    std::string why;
    if (!credential)
        why = "unknown operator";
    else if (!credential->enabled)
        why = "operator disabled";
    else if (options_.mode == AuthMode::Password && credential->passwordHash.empty())
        why = "no password set";
    if (options_.mode == AuthMode::Password) {
        // A password too long to be anyone's costs the same verification, or its quick refusal would
        // tell a known operator from an unknown one.
        if (!why.empty() || password.size() > auth::kMaxPasswordBytes) {
            auth::verifyNothing(password.substr(0, auth::kMaxPasswordBytes));
            if (why.empty()) why = "wrong password";
        } else if (!auth::verifyPassword(credential->passwordHash, password)) {
            why = "wrong password";
        }
    }
    if (!why.empty()) return refuseSignIn(caller, op, host, why);
    throttle_.succeed(op, host);

    const std::string token = auth::newToken();
    const DateTime now = clock_.now();
    SessionRecord session{auth::tokenHash(token), token.substr(0, auth::kTokenPrefixLength), credential->code,
                          credential->name,       caller.address,
                          now,                    now + options_.lifetime};
    auto tx = storage_.write();
    tx->deleteExpiredSessions(now);
    tx->addSession(session);
    tx->addHistory(history::event(session.operatorCode, caller.address, "Session.Login", "sign-in", now,
                                  {{"session", session.tokenPrefix}}));
    tx->commit();
    spdlog::info("operator \"{}\" signed in from {} (session {})", auth::escaped(session.operatorCode),
                 caller.address, session.tokenPrefix);
    metrics().signIn(true);
    Reply reply = bind(caller, session);
    reply.result["data"]["token"] = token;
    return reply;
}

Reply SessionModule::refuseSignIn(Caller& caller, const std::string& op, const std::string& host,
                                  const std::string& why) {
    auto failure = throttle_.fail(op, host, SteadyClock::now());
    metrics().signIn(false);
    spdlog::warn("sign-in failed for operator \"{}\" from {}: {}", auth::escaped(op), caller.address, why);
    if (failure.lockedNow)
        spdlog::warn("operator \"{}\" locked from {} for {} minutes after {} failed sign-ins", auth::escaped(op),
                     host, options_.throttle.lockFor.count(), options_.throttle.lockAfter);
    // The refusal goes out even when the history cannot be written. A NUL in the code sent is written as
    // "\x00": PostgreSQL stores no text holding one, and the attempt belongs in the history all the same.
    std::string recorded;
    for (char c : op) c == '\0' ? recorded += "\\x00" : recorded += c;
    try {
        const DateTime now = clock_.now();
        auto tx = storage_.write();
        tx->addHistory(history::event(recorded, caller.address, "Session.Login", "sign-in failed", now,
                                      {{"reason", why}}));
        if (failure.lockedNow)
            tx->addHistory(history::event(recorded, caller.address, "Session.Login", "sign-in locked", now,
                                          {{"minutes", options_.throttle.lockFor.count()}}));
        tx->commit();
    } catch (const std::exception& e) {
        spdlog::error("the failed sign-in could not be recorded: {}", e.what());
    }
    return envelope(rpc::errorEnvelope(kBadSignIn), failure.delay);
}

Reply SessionModule::Resume(const Args& args) {
    Caller& caller = args.caller();
    const std::string& token = args.text(0);
    if (!auth::looksLikeToken(token)) return envelope(rpc::errorEnvelope(kSessionGone));
    const DateTime now = clock_.now();
    auto tx = storage_.read();
    auto session = tx->session(auth::tokenHash(token));
    auto credential = session ? tx->credential(session->operatorCode) : std::nullopt;
    if (!session || !credential || !credential->enabled || session->expires <= now) {
        if (auto extra = anonymousWarnings_.admit())
            spdlog::info(
                "resume from {} refused: session unknown, expired or revoked, or operator disabled{}",
                caller.address, *extra);
        return envelope(rpc::errorEnvelope(kSessionGone));
    }
    // A host resumes at every reconnection: the log has it, the history would only fill up.
    spdlog::info("operator \"{}\" resumed session {} from {}", auth::escaped(session->operatorCode),
                 session->tokenPrefix, caller.address);
    Reply reply = bind(caller, *session);
    reply.result["data"]["token"] = token;
    return reply;
}

Reply SessionModule::Logout(const Args& args) {
    Caller& caller = args.caller();
    if (caller.signedIn()) {
        auto tx = storage_.write();
        tx->deleteSession(caller.tokenHash);
        tx->addHistory(history::event(caller.operatorCode, caller.address, "Session.Logout", "sign-out",
                                      clock_.now()));
        tx->commit();
        spdlog::info("operator \"{}\" signed out from {}", auth::escaped(caller.operatorCode), caller.address);
        caller.signOut();
    }
    return envelope(rpc::okEnvelope());
}

Reply SessionModule::bind(Caller& caller, const SessionRecord& session) {
    auto steadyNow = SteadyClock::now();
    caller.operatorCode = session.operatorCode;
    caller.operatorName = session.operatorName;
    caller.tokenHash = session.tokenHash;
    caller.sessionEnds = steadyNow + (session.expires - clock_.now());
    caller.recheckAt = steadyNow + options_.recheckEvery;
    json data{{"operator", session.operatorCode},
              {"name", session.operatorName},
              {"token", nullptr},
              {"expires", formatIsoDateTime(session.expires)}};
    return envelope(json{{"ok", true}, {"data", std::move(data)}});
}

void SessionModule::admit(Caller& caller) {
    if (!caller.signedIn()) throw CallFault(kNoSession, kNoSessionText);
    auto steadyNow = SteadyClock::now();
    if (steadyNow >= caller.sessionEnds) {
        caller.signOut();
        throw CallFault(kNoSession, kNoSessionText);
    }
    if (steadyNow < caller.recheckAt) return;
    auto tx = storage_.read();
    auto session = tx->session(caller.tokenHash);
    auto credential = session ? tx->credential(session->operatorCode) : std::nullopt;
    if (!session || !credential || !credential->enabled || session->expires <= clock_.now()) {
        spdlog::info("session of operator \"{}\" on {} ended: revoked, expired or operator disabled",
                     auth::escaped(caller.operatorCode), caller.address);
        caller.signOut();
        throw CallFault(kNoSession, kNoSessionText);
    }
    caller.recheckAt = steadyNow + options_.recheckEvery;
}

}  // namespace age::server
