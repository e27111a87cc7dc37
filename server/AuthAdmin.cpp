#include "server/AuthAdmin.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <istream>
#include <ostream>
#include <stdexcept>

#include "server/Auth.h"
#include "server/Clock.h"
#include "server/History.h"

namespace age::server::admin {
namespace {

constexpr std::size_t kMinPrefix = 6;

void record(Transaction& tx, std::string method, std::string operation, const nlohmann::json& details) {
    tx.addHistory(history::event("", history::localActor(), std::move(method), std::move(operation), Clock().now(),
                                 details));
}

std::string withoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// The terminal as it was before its echo went off, given back even when Ctrl-C ends the program.
int gTty = -1;
termios gSaved{};

void restoreTerminalAndDie(int signal) {
    tcsetattr(gTty, TCSANOW, &gSaved);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// One line from the terminal with its echo off.
std::string askTerminal(int tty, const std::string& prompt) {
    if (tcgetattr(tty, &gSaved) != 0) throw std::runtime_error("cannot read from the terminal");
    gTty = tty;
    termios quiet = gSaved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    (void)!write(tty, prompt.data(), prompt.size());
    auto oldInt = std::signal(SIGINT, restoreTerminalAndDie);
    auto oldTerm = std::signal(SIGTERM, restoreTerminalAndDie);
    tcsetattr(tty, TCSAFLUSH, &quiet);
    std::string line;
    char c;
    while (read(tty, &c, 1) == 1 && c != '\n') line += c;
    tcsetattr(tty, TCSANOW, &gSaved);
    std::signal(SIGINT, oldInt);
    std::signal(SIGTERM, oldTerm);
    return withoutLineEnd(line);
}

void checkPassword(const std::string& password) {
    if (password.size() < auth::kMinPasswordLength)
        throw std::runtime_error("the password must have at least " + std::to_string(auth::kMinPasswordLength) +
                                 " characters");
    if (password.size() > auth::kMaxPasswordBytes)
        throw std::runtime_error("the password must have at most " + std::to_string(auth::kMaxPasswordBytes) +
                                 " bytes");
}

int endSessionsOf(Transaction& tx, const std::string& code) {
    int ended = 0;
    for (const auto& s : tx.sessions())
        if (s.operatorCode == code) ended += tx.deleteSession(s.tokenHash) ? 1 : 0;
    return ended;
}

}  // namespace

std::string readPassword(const std::string& code, bool fromStdin, std::istream& in) {
    if (fromStdin) {
        std::string line;
        if (!std::getline(in, line)) throw std::runtime_error("no password on standard input");
        return withoutLineEnd(line);
    }
    int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) throw std::runtime_error("no terminal to ask the password on; give it with --password-stdin");
    std::string first, second;
    try {
        first = askTerminal(tty, "Password for " + code + ": ");
        second = askTerminal(tty, "Repeat the password: ");
    } catch (...) {
        close(tty);
        throw;
    }
    close(tty);
    if (first != second) throw std::runtime_error("the two passwords differ; nothing changed");
    return first;
}

void setPassword(Storage& storage, const std::string& code, const std::string& password) {
    checkPassword(password);
    std::string hash = auth::hashPassword(password);
    auto tx = storage.write();
    if (!tx->setPasswordHash(code, hash)) throw std::runtime_error("operator " + code + " does not exist");
    int ended = endSessionsOf(*tx, code);
    record(*tx, "operator password", "password", {{"CDOPERADOR", code}, {"sessions ended", ended}});
    tx->commit();
}

void setEnabled(Storage& storage, const std::string& code, bool enabled) {
    auto tx = storage.write();
    if (!tx->setOperatorEnabled(code, enabled)) throw std::runtime_error("operator " + code + " does not exist");
    int ended = enabled ? 0 : endSessionsOf(*tx, code);
    record(*tx, enabled ? "operator enable" : "operator disable", enabled ? "enable" : "disable",
           {{"CDOPERADOR", code}, {"sessions ended", ended}});
    tx->commit();
}

void listSessions(Storage& storage, std::ostream& out) {
    for (const auto& s : storage.read()->sessions())
        out << s.tokenPrefix << '\t' << s.operatorCode << '\t' << s.operatorName << '\t' << s.address << '\t'
            << formatIsoDateTime(s.created) << '\t' << formatIsoDateTime(s.expires) << '\n';
}

void revokeSessions(Storage& storage, const std::string& codeOrPrefix, std::ostream& out) {
    auto tx = storage.write();
    int ended = 0;
    if (tx->credential(codeOrPrefix)) {
        ended = endSessionsOf(*tx, codeOrPrefix);
    } else {
        if (codeOrPrefix.size() < kMinPrefix)
            throw std::runtime_error("no operator " + codeOrPrefix + "; a token prefix needs at least " +
                                     std::to_string(kMinPrefix) + " characters");
        std::vector<std::string> matching;
        if (auth::looksLikeToken(codeOrPrefix)) {  // a whole token: exactly its session
            if (tx->session(auth::tokenHash(codeOrPrefix))) matching.push_back(auth::tokenHash(codeOrPrefix));
        } else {
            // The stored prefix is all of the token a prefix can be compared with.
            std::string prefix = codeOrPrefix.substr(0, auth::kTokenPrefixLength);
            for (const auto& s : tx->sessions())
                if (s.tokenPrefix.starts_with(prefix)) matching.push_back(s.tokenHash);
        }
        if (matching.size() > 1)
            throw std::runtime_error("the prefix " + codeOrPrefix + " matches " + std::to_string(matching.size()) +
                                     " sessions; give more of the token");
        for (const auto& hash : matching) ended += tx->deleteSession(hash) ? 1 : 0;
    }
    if (ended == 0) throw std::runtime_error("no session matches " + codeOrPrefix);
    record(*tx, "session revoke", "revoke", {{"target", codeOrPrefix}, {"sessions ended", ended}});
    tx->commit();
    out << "revoked " << ended << " session(s)\n";
}

void showHistory(Storage& storage, const HistoryFilter& filter, bool asJson, std::ostream& out) {
    history::print(storage.read()->history(filter), out, asJson);
}

void pruneHistory(Storage& storage, Date before, std::ostream& out) {
    auto tx = storage.write();
    long removed = tx->pruneHistory(atMidnight(before));
    record(*tx, "history prune", "prune", {{"before", formatIsoDate(before)}, {"removed", removed}});
    tx->commit();
    out << "removed " << removed << " history row(s) written before " << formatIsoDate(before) << '\n';
}

}  // namespace age::server::admin
