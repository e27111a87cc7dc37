#include "tests/support/SignInPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace age::test {

using nlohmann::json;

SignInPeer::SignInPeer(Respond respond, bool anyAddress) : respond_(std::move(respond)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(anyAddress ? INADDR_ANY : INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listenFd_, 16) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

SignInPeer::~SignInPeer() {
    stopping_ = true;
    shutdown(listenFd_, SHUT_RDWR);  // wakes accept() and read() up
    hangUp();
    thread_.join();
    close(listenFd_);
}

void SignInPeer::hangUp() {
    int fd = connFd_.load();
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

std::vector<SignInPeer::Line> SignInPeer::lines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> SignInPeer::methods() {
    std::vector<std::string> out;
    for (const auto& line : lines()) out.push_back(line.request.value("method", ""));
    return out;
}

void SignInPeer::serve() {
    for (int connection = 0; !stopping_; ++connection) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        connFd_ = fd;
        std::string buffer;
        char chunk[4096];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
            buffer.append(chunk, static_cast<std::size_t>(n));
            for (auto nl = buffer.find('\n'); nl != std::string::npos; nl = buffer.find('\n')) {
                json request = json::parse(buffer.substr(0, nl), nullptr, false);
                buffer.erase(0, nl + 1);
                {
                    std::lock_guard lock(mutex_);
                    lines_.push_back({connection, request});
                }
                auto answer = respond_(connection, request);
                if (answer == kHangUp) shutdown(fd, SHUT_RDWR);
                if (answer && answer != kHangUp)
                    send(fd, (*answer + "\n").data(), answer->size() + 1, MSG_NOSIGNAL);
            }
        }
        connFd_ = -1;
        close(fd);
    }
}

std::string SignInPeer::result(const json& request, const json& result) {
    return json{{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", result}}.dump();
}

std::string SignInPeer::error(const json& request, int code, const std::string& message) {
    return json{{"jsonrpc", "2.0"}, {"id", request["id"]}, {"error", {{"code", code}, {"message", message}}}}.dump();
}

std::string SignInPeer::session(const json& request, const std::string& operatorCode, const std::string& name,
                                const std::string& token) {
    return result(request, {{"ok", true},
                            {"data",
                             {{"operator", operatorCode},
                              {"name", name},
                              {"token", token},
                              {"expires", "2026-12-08T22:00:00"}}}});
}

std::string SignInPeer::refusal(const json& request, const std::string& text) {
    return result(request, {{"ok", false}, {"error", text}});
}

}  // namespace age::test
