// Calls by name: one table from "Module.Method" to its handler and argument list. The number and kinds
// of the arguments are checked here, once, before any handler runs.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/Dates.h"
#include "platform/rpc/Wire.h"
#include "server/Caller.h"
#include "server/RateLimit.h"

namespace age::server {

using json = nlohmann::json;

enum class ArgKind {
    Text,    // a JSON string
    Day,     // "YYYY-MM-DD" (a date-time is taken as its whole day)
    Object,  // a JSON object (a change log)
};

struct ArgSpec {
    std::string_view name;  // for messages: "sala", "dia", ...
    ArgKind kind;
    bool byRef = false;  // its final value goes back in "byref" (unchanged when the call is refused)
};

// The arguments of a call, already checked against the method's ArgSpecs.
class Args {
  public:
    Args(const json& params, Caller& caller) : params_(params), caller_(caller) {}
    const std::string& text(std::size_t i) const { return params_[i].get_ref<const std::string&>(); }
    Date day(std::size_t i) const;
    const json& value(std::size_t i) const { return params_[i]; }
    Caller& caller() const { return caller_; }

  private:
    const json& params_;
    Caller& caller_;
};

struct Reply {
    json result;            // when rawResult is empty
    std::string rawResult;  // the result's JSON text, already written (packets go this way)
    std::map<int, std::string> byref;  // final values of by-reference arguments, by 0-based position
    std::chrono::milliseconds delay{0};  // the connection answers after this long (a failed sign-in)
};

// The user's request cannot be done: answered as the envelope {"ok":false,"error":message}. The message
// is Portuguese and says what is wrong.
class Refusal : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The call itself is wrong: answered as a JSON-RPC error with this code.
class CallFault : public std::runtime_error {
  public:
    CallFault(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

// Where a call runs: on the network thread (it touches no storage), on a worker, or on the workers kept
// for the calls that change the database.
enum class Lane { Quick, Read, Write };

struct Method {
    std::string name;
    std::vector<ArgSpec> args;
    std::function<Reply(const Args&)> handler;
    bool envelope = true;  // false: the result is a plain value, so refusals cannot be enveloped
    Lane lane = Lane::Read;
};

// A line read from a client: the request to run, or the answer already when the line is no request.
struct ParsedLine {
    std::optional<rpc::Request> request;
    std::string answer;  // without '\n'; set when request is empty
};

// Warnings about the calls of connections that have not signed in: anyone who can connect can cause
// thousands a second, so a few a second are written and the rest are counted into the next one written.
class AnonymousWarnings {
  public:
    // Nothing when this warning is held back; else what its line adds: "" or how many were held back
    // before it. Thread safe.
    std::optional<std::string> admit();

  private:
    std::mutex mutex_;
    RateLimit budget_{20, 5};
    long held_ = 0;
};

// Decides whether the caller may call a module at all; throws CallFault when not.
using Gate = std::function<void(Caller&)>;

// The largest reply sent by default: well above a full day of bookings (1,000 with 1,000-character
// references, about 1.2 MB, 6 MB if every character needed an escape) and below the client's read limit.
inline constexpr std::size_t kDefaultMaxReplyBytes = std::size_t{8} << 20;

class Dispatcher {
  public:
    void add(const std::string& module, Method method);
    // Every call of the module passes `gate` first (a connection must have signed in).
    void guard(const std::string& module, Gate gate);
    // A reply longer than this becomes a refusal (an envelope error, or -32603 for methods without one);
    // not the reply of a call that changes the database (Lane::Write), which has already taken effect.
    void setMaxReplyBytes(std::size_t bytes) { maxReplyBytes_ = bytes; }

    // Answers one request; never throws. Logs one line for every call that fails or is refused.
    rpc::Response handle(const rpc::Request& request, Caller& caller) const;
    // Reads one line (without '\n') and gives the line to answer (without '\n'); "" for a notification,
    // which is carried out and not answered.
    std::string handleLine(std::string_view line, Caller& caller) const;

    // The same in steps, for a server that runs the slow calls elsewhere.
    ParsedLine parseLine(std::string_view line, const Caller& caller) const;
    // Where the call runs: Quick when it needs no database (the network thread answers it; an unknown
    // method too), else the pool lane that takes it.
    Lane laneOf(const rpc::Request& request, const Caller& caller) const;
    // A line this long is read (parsed) apart from the network threads too: reading it alone takes time.
    static bool isLong(std::string_view line);
    // Whether a long line of this caller is read at all. Where modules need a session, a caller without
    // one has no call that long to make (a sign-in is short), so its long lines are refused unread: each
    // would cost a worker the parse of up to a megabyte.
    bool readsLongLinesOf(const Caller& caller) const { return gates_.empty() || caller.signedIn(); }
    bool needsSessions() const { return !gates_.empty(); }
    // The longest line read from this caller: no more is buffered for a connection without a session.
    std::size_t maxLineOf(const Caller& caller) const;
    // The text of that refusal (logged and counted here).
    std::string longLineWithoutSession(const Caller& caller) const;
    // handle(), as a line: "" for a notification, a refusal for a reply over the size limit.
    std::string answer(const rpc::Request& request, Caller& caller) const;
    // The refusal of a call that could not even be queued: the server is overloaded.
    std::string busyAnswer(const rpc::Request& request) const;

  private:
    const Method* find(const std::string& fullName) const;
    static std::string_view moduleOf(const rpc::Request& request, const Method& method);
    rpc::Response tooLarge(const rpc::Request& request, std::size_t bytes) const;
    // What a warning about the caller's call adds to its line, or nothing when it is held back.
    std::optional<std::string> warningSlot(const Caller& caller) const;
    std::map<std::string, Method, std::less<>> methods_;  // "Module.Method"
    std::map<std::string, bool, std::less<>> modules_;
    std::map<std::string, Gate, std::less<>> gates_;
    std::size_t maxReplyBytes_ = kDefaultMaxReplyBytes;
    mutable AnonymousWarnings anonymousWarnings_;
};

}  // namespace age::server
