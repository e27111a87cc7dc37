// A stand-in for the sign-in side of a server, for the client's tests: it accepts connections one after
// the other on a loopback port (or on every address) and answers each request line with what `respond`
// gives for it, knowing which connection it came on (0, 1, ...). Nothing: no answer; kHangUp: the
// connection is closed.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace age::test {

class SignInPeer {
  public:
    static constexpr const char* kHangUp = "<hang up>";
    struct Line {
        int connection;
        nlohmann::json request;
    };
    using Respond = std::function<std::optional<std::string>(int connection, const nlohmann::json& request)>;

    explicit SignInPeer(Respond respond, bool anyAddress = false);
    ~SignInPeer();
    SignInPeer(const SignInPeer&) = delete;
    SignInPeer& operator=(const SignInPeer&) = delete;

    int port() const { return port_; }
    std::vector<Line> lines();
    std::vector<std::string> methods();  // of every request so far, in order
    void hangUp();                        // closes the current connection (as an idle timeout would)

    // Reply lines.
    static std::string result(const nlohmann::json& request, const nlohmann::json& result);
    static std::string error(const nlohmann::json& request, int code, const std::string& message);
    static std::string session(const nlohmann::json& request, const std::string& operatorCode,
                               const std::string& name, const std::string& token);
    static std::string refusal(const nlohmann::json& request, const std::string& text = "Operador ou senha inválidos.");

  private:
    void serve();
    Respond respond_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<int> connFd_{-1};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Line> lines_;
};

}  // namespace age::test
