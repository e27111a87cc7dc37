#include "platform/rpc/ErrorReporter.h"

#include <iostream>
#include <mutex>

namespace age::rpc {
namespace {

std::mutex& reporterMutex() {
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& reporter() {
    static std::function<void(const std::string&)> r;
    return r;
}

}  // namespace

void SetErrorReporter(std::function<void(const std::string&)> r) {
    std::lock_guard lock(reporterMutex());
    reporter() = std::move(r);
}

void ReportError(const std::string& message) {
    std::function<void(const std::string&)> r;
    {
        std::lock_guard lock(reporterMutex());
        r = reporter();
    }
    // Called outside the lock: a message box may run a nested event loop that reports again.
    if (r)
        r(message);
    else
        std::cerr << message << std::endl;
}

}  // namespace age::rpc
