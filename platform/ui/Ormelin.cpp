#include "platform/ui/Ormelin.h"

namespace Ormelin {
namespace {

HostValues& values() {
    static HostValues v;
    return v;
}

std::function<void(const std::string&, QWidget*)>& unloadHandler() {
    static std::function<void(const std::string&, QWidget*)> handler;
    return handler;
}

}  // namespace

std::string FiliProc() { return values().branch; }
std::string Operador() { return values().operatorCode; }
std::string WebURL() { return values().serverHost; }
int WebPort() { return values().serverPort; }

void SetUnloadBPL(const std::string& className, QWidget* form) {
    if (auto& handler = unloadHandler()) handler(className, form);
}

void SetHostValues(const HostValues& v) { values() = v; }
const HostValues& CurrentHostValues() { return values(); }
void SetUnloadHandler(std::function<void(const std::string&, QWidget*)> handler) {
    unloadHandler() = std::move(handler);
}

}  // namespace Ormelin
