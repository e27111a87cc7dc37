#include "server/Dispatch.h"

#include <cstdio>

#include <spdlog/spdlog.h>

#include "common/LogText.h"
#include "server/Metrics.h"
#include "server/storage/Storage.h"

namespace age::server {
namespace {

std::optional<Date> dayOf(const json& value) {
    if (!value.is_string()) return std::nullopt;
    const auto& text = value.get_ref<const std::string&>();
    if (auto d = parseIsoDate(text)) return d;
    if (auto t = parseIsoDateTime(text)) return wholeDay(*t);
    return std::nullopt;
}

std::string_view kindWord(ArgKind kind) {
    switch (kind) {
        case ArgKind::Text:
            return "um texto";
        case ArgKind::Day:
            return "uma data AAAA-MM-DD";
        case ArgKind::Object:
            return "um objeto JSON";
    }
    return "?";
}

bool fits(const json& value, ArgKind kind) {
    switch (kind) {
        case ArgKind::Text:
            return value.is_string();
        case ArgKind::Day:
            return dayOf(value).has_value();
        case ArgKind::Object:
            return value.is_object();
    }
    return false;
}

// Requests longer than this are read on a worker, not on a network thread, whatever their method.
constexpr std::size_t kLongLine = 16 * 1024;

// "1,2 MB", with the decimal comma of the user's texts.
std::string megabytes(std::size_t bytes, int decimals = 1) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*f MB", decimals, static_cast<double>(bytes) / 1e6);
    std::string text = buf;
    if (auto dot = text.find('.'); dot != std::string::npos) text[dot] = ',';
    return text;
}

std::string signature(const Method& m) {
    std::string s;
    for (const auto& a : m.args) s += (s.empty() ? "" : ", ") + std::string(a.name);
    return s;
}

void checkArgs(const Method& m, const json& params) {
    if (params.size() != m.args.size())
        throw CallFault(rpc::code::InvalidParams, m.name + " espera " + std::to_string(m.args.size()) +
                                                      " argumento(s) (" + signature(m) + "); recebeu " +
                                                      std::to_string(params.size()) + ".");
    for (std::size_t i = 0; i < m.args.size(); ++i)
        if (!fits(params[i], m.args[i].kind))
            throw CallFault(rpc::code::InvalidParams, "O argumento " + std::to_string(i + 1) + " (" +
                                                          std::string(m.args[i].name) + ") de " + m.name +
                                                          " deve ser " +
                                                          std::string(kindWord(m.args[i].kind)) + ".");
}

// The by-reference arguments as they came: their final values when the call did nothing.
std::map<int, std::string> unchangedByRef(const Method& m, const json& params) {
    std::map<int, std::string> byref;
    for (std::size_t i = 0; i < m.args.size() && i < params.size(); ++i)
        if (m.args[i].byRef && params[i].is_string())
            byref[static_cast<int>(i)] = params[i].get<std::string>();
    return byref;
}

constexpr const char* kBusyText = "O servidor de aplicação está ocupado; tente novamente em instantes.";

CallOutcome outcomeOf(const rpc::Response& response) {
    if (response.error) return CallOutcome::Error;
    const auto& r = response.result;
    bool refused = response.rawResult.empty() && r.is_object() && r.contains("ok") && r["ok"] == false;
    return refused ? CallOutcome::Refused : CallOutcome::Ok;
}

}  // namespace

std::optional<std::string> AnonymousWarnings::admit() {
    std::lock_guard lock(mutex_);
    if (!budget_.take()) {
        ++held_;
        return std::nullopt;
    }
    long held = std::exchange(held_, 0);
    if (held == 0) return "";
    return " (and " + std::to_string(held) + " more from connections without a session, not written)";
}

Date Args::day(std::size_t i) const {
    return *dayOf(params_[i]);
}

void Dispatcher::add(const std::string& module, Method method) {
    modules_[module] = true;
    std::string key = module + "." + method.name;
    methods_[key] = std::move(method);
}

void Dispatcher::guard(const std::string& module, Gate gate) {
    gates_[module] = std::move(gate);
}

// Found as "module.name": the module is what precedes ".name", taken without a copy.
std::string_view Dispatcher::moduleOf(const rpc::Request& request, const Method& method) {
    return std::string_view(request.method.data(), request.method.size() - method.name.size() - 1);
}

bool Dispatcher::isLong(std::string_view line) {
    return line.size() > kLongLine;
}

const Method* Dispatcher::find(const std::string& fullName) const {
    auto it = methods_.find(fullName);
    return it == methods_.end() ? nullptr : &it->second;
}

rpc::Response Dispatcher::handle(const rpc::Request& request, Caller& caller) const {
    // Checked first: the arguments of a debug line would cost every call its formatting.
    if (spdlog::should_log(spdlog::level::debug))
        spdlog::debug("call {} with {} argument(s)", age::quoted(request.method, 120), request.params.size());
    auto fault = [&](int code, const std::string& message) {
        if (auto extra = warningSlot(caller))
            spdlog::warn("{} failed ({}): {}{}", age::quoted(request.method, 120), code,
                         age::quoted(message, 240), *extra);
        return rpc::errorResponse(request.id, code, message);
    };
    const Method* method = find(request.method);
    if (!method) {
        auto [module, name] = rpc::splitMethod(request.method);
        if (!modules_.contains(module))
            return fault(rpc::code::MethodNotFound,
                         "Módulo remoto desconhecido: \"" + age::quoted(module) + "\".");
        return fault(rpc::code::MethodNotFound,
                     "O módulo " + module + " não tem o método \"" + age::quoted(name) + "\".");
    }
    rpc::Response response;
    response.id = request.id;
    try {
        if (auto gate = gates_.find(moduleOf(request, *method)); gate != gates_.end()) gate->second(caller);
        checkArgs(*method, request.params);
        Reply reply = method->handler(Args(request.params, caller));
        caller.answerDelay = reply.delay;
        response.result = std::move(reply.result);
        response.rawResult = std::move(reply.rawResult);
        response.byref = std::move(reply.byref);
    } catch (const CallFault& e) {
        return fault(e.code(), e.what());
    } catch (const Refusal& e) {
        spdlog::info("{} refused: {}", method->name, age::quoted(e.what(), 240));
        if (!method->envelope) return rpc::errorResponse(request.id, rpc::code::InvalidParams, e.what());
        response.result = rpc::errorEnvelope(e.what());
        response.byref = unchangedByRef(*method, request.params);
    } catch (const StorageBusy& e) {
        spdlog::warn("{} failed: storage busy: {}", method->name, age::quoted(e.what(), 240));
        metrics().refusal("busy");
        if (!method->envelope) return rpc::errorResponse(request.id, rpc::code::InternalError, kBusyText);
        response.result = rpc::errorEnvelope(kBusyText);
        response.byref = unchangedByRef(*method, request.params);
    } catch (const std::exception& e) {
        spdlog::error("{} failed: {}", method->name, age::quoted(e.what(), 240));
        return rpc::errorResponse(request.id, rpc::code::InternalError,
                                  "Erro interno no servidor de aplicação ao executar " + method->name + ".");
    }
    return response;
}

rpc::Response Dispatcher::tooLarge(const rpc::Request& request, std::size_t bytes) const {
    const Method* method = find(request.method);
    std::string name = method ? method->name : age::quoted(request.method);
    spdlog::warn("{} refused: reply of {} bytes over the limit of {}", name, bytes, maxReplyBytes_);
    metrics().refusal("reply_too_large");
    // As many decimals as it takes for the two sizes to read differently ("0,13 MB" over "0,12 MB").
    int decimals = 1;
    while (decimals < 6 && megabytes(bytes, decimals) == megabytes(maxReplyBytes_, decimals)) ++decimals;
    std::string text = "A resposta de " + name + " teria " + megabytes(bytes, decimals) +
                       ", acima do limite de " + megabytes(maxReplyBytes_, decimals) +
                       " do servidor de aplicação.";
    if (!method || !method->envelope) return rpc::errorResponse(request.id, rpc::code::InternalError, text);
    rpc::Response response;
    response.id = request.id;
    response.result = rpc::errorEnvelope(text);
    return response;
}

std::string Dispatcher::handleLine(std::string_view line, Caller& caller) const {
    ParsedLine parsed = parseLine(line, caller);
    return parsed.request ? answer(*parsed.request, caller) : std::move(parsed.answer);
}

ParsedLine Dispatcher::parseLine(std::string_view line, const Caller& caller) const {
    ParsedLine parsed;
    try {
        parsed.request = rpc::parseRequest(line);
    } catch (const rpc::WireError& e) {
        if (auto extra = warningSlot(caller))
            spdlog::warn("unreadable request ({}): {}{}", e.code(), age::quoted(e.what(), 240), *extra);
        metrics().refusal("malformed");
        parsed.answer = rpc::encodeResponse(rpc::errorResponse(rpc::requestIdOf(line), e.code(), e.what()));
    }
    return parsed;
}

Lane Dispatcher::laneOf(const rpc::Request& request, const Caller& caller) const {
    const Method* method = find(request.method);
    if (!method) return Lane::Quick;  // an unknown method is answered at once too
    // A caller without a session is refused by the gate before any database work: at once too, so that
    // anyone who can connect cannot fill the work queue ahead of the signed-in users.
    if (!caller.signedIn() && gates_.contains(moduleOf(request, *method))) return Lane::Quick;
    if (method->lane == Lane::Quick && caller.recheckDue()) return Lane::Read;  // the session check reads
    return method->lane;
}

std::string Dispatcher::answer(const rpc::Request& request, Caller& caller) const {
    auto started = std::chrono::steady_clock::now();
    rpc::Response response = handle(request, caller);
    const Method* method = find(request.method);
    metrics().call(request.method, method != nullptr, std::chrono::steady_clock::now() - started,
                   outcomeOf(response));
    std::string reply = rpc::encodeResponse(response);
    if (request.notification) return {};
    // A call that may have changed the database is answered whole: refusing its reply would report as
    // failed what is stored. Their replies are small or bounded (SetHrSala: at most 98 bookings).
    bool wrote = method && method->lane == Lane::Write;
    if (reply.size() > maxReplyBytes_ && !wrote) return rpc::encodeResponse(tooLarge(request, reply.size()));
    return reply;
}

std::optional<std::string> Dispatcher::warningSlot(const Caller& caller) const {
    if (gates_.empty() || caller.signedIn()) return "";
    return anonymousWarnings_.admit();
}

std::string Dispatcher::longLineWithoutSession(const Caller& caller) const {
    if (auto extra = warningSlot(caller))
        spdlog::warn("request line over {} bytes refused unread: the connection has not signed in{}",
                     kLongLine, *extra);
    metrics().refusal("long_line_without_session");
    return "Requisição de mais de " + std::to_string(kLongLine / 1024) +
           " KiB numa conexão sem sessão: entre com operador e senha.";
}

std::size_t Dispatcher::maxLineOf(const Caller& caller) const {
    return readsLongLinesOf(caller) ? rpc::kMaxLineBytes : kLongLine;
}

std::string Dispatcher::busyAnswer(const rpc::Request& request) const {
    const Method* method = find(request.method);
    spdlog::warn("{} refused: work queue full", age::quoted(request.method, 120));
    metrics().refusal("queue_full");
    if (request.notification) return {};
    rpc::Response response;
    response.id = request.id;
    if (method && !method->envelope)
        return rpc::encodeResponse(rpc::errorResponse(request.id, rpc::code::InternalError, kBusyText));
    response.result = rpc::errorEnvelope(kBusyText);
    if (method) response.byref = unchangedByRef(*method, request.params);
    return rpc::encodeResponse(response);
}

}  // namespace age::server
