#include "server/Dispatch.h"

#include <spdlog/spdlog.h>

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

CallOutcome outcomeOf(const rpc::Response& response) {
    if (response.error) return CallOutcome::Error;
    const auto& r = response.result;
    bool refused = response.rawResult.empty() && r.is_object() && r.contains("ok") && r["ok"] == false;
    return refused ? CallOutcome::Refused : CallOutcome::Ok;
}

}  // namespace

Date Args::day(std::size_t i) const {
    return *dayOf(params_[i]);
}

void Dispatcher::add(const std::string& module, Method method) {
    modules_[module] = true;
    std::string key = module + "." + method.name;
    methods_[key] = std::move(method);
}

const Method* Dispatcher::find(const std::string& fullName) const {
    auto it = methods_.find(fullName);
    return it == methods_.end() ? nullptr : &it->second;
}

rpc::Response Dispatcher::handle(const rpc::Request& request) const {
    spdlog::debug("call {} with {} argument(s)", request.method.substr(0, 120), request.params.size());
    auto [module, name] = rpc::splitMethod(request.method);
    auto fault = [&](int code, const std::string& message) {
        spdlog::warn("{} failed ({}): {}", request.method.substr(0, 120), code, message);
        return rpc::errorResponse(request.id, code, message);
    };
    const Method* method = find(request.method);
    if (!method) {
        if (!modules_.contains(module))
            return fault(rpc::code::MethodNotFound,
                         "Módulo remoto desconhecido: \"" + module.substr(0, 120) + "\".");
        return fault(rpc::code::MethodNotFound,
                     "O módulo " + module + " não tem o método \"" + name.substr(0, 120) + "\".");
    }
    rpc::Response response;
    response.id = request.id;
    try {
        checkArgs(*method, request.params);
        Reply reply = method->handler(Args(request.params));
        response.result = std::move(reply.result);
        response.rawResult = std::move(reply.rawResult);
        response.byref = std::move(reply.byref);
    } catch (const CallFault& e) {
        return fault(e.code(), e.what());
    } catch (const Refusal& e) {
        spdlog::info("{} refused: {}", method->name, e.what());
        if (!method->envelope) return rpc::errorResponse(request.id, rpc::code::InvalidParams, e.what());
        response.result = rpc::errorEnvelope(e.what());
    } catch (const StorageBusy& e) {
        spdlog::warn("{} failed: storage busy: {}", method->name, e.what());
        metrics().refusal("busy");
        const std::string text = "O servidor de aplicação está ocupado; tente novamente em instantes.";
        if (!method->envelope) return rpc::errorResponse(request.id, rpc::code::InternalError, text);
        response.result = rpc::errorEnvelope(text);
    } catch (const std::exception& e) {
        spdlog::error("{} failed: {}", method->name, e.what());
        return rpc::errorResponse(request.id, rpc::code::InternalError,
                                  "Erro interno no servidor de aplicação ao executar " + method->name + ".");
    }
    return response;
}

std::string Dispatcher::handleLine(std::string_view line) const {
    rpc::Request request;
    try {
        request = rpc::parseRequest(line);
    } catch (const rpc::WireError& e) {
        spdlog::warn("unreadable request ({}): {}", e.code(), e.what());
        metrics().refusal("malformed");
        return rpc::encodeResponse(rpc::errorResponse(rpc::requestIdOf(line), e.code(), e.what()));
    }
    auto started = std::chrono::steady_clock::now();
    rpc::Response response = handle(request);
    metrics().call(request.method, find(request.method) != nullptr,
                   std::chrono::steady_clock::now() - started, outcomeOf(response));
    return rpc::encodeResponse(response);
}

}  // namespace age::server
