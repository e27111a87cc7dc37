// Values of the logged-in host application that the modules read (branch, operator, server address),
// and the registration by which a module tells the host that one of its screens is gone.
#pragma once

#include <functional>
#include <string>

class QWidget;

namespace Ormelin {

std::string FiliProc();  // the current branch code
std::string Operador();  // the logged-in operator code
std::string WebURL();    // the application server's host
int WebPort();           // its port

// Told, with the screen's class name and the screen, when a screen of a module is destroyed, so that the
// host can release the module once none of its screens remains. The screen must not be used any more.
void SetUnloadBPL(const std::string& className, QWidget* form);

// --- set by the host
struct HostValues {
    std::string branch;
    std::string operatorCode;
    std::string serverHost = "127.0.0.1";
    int serverPort = 12100;
};
void SetHostValues(const HostValues& values);
const HostValues& CurrentHostValues();
void SetUnloadHandler(std::function<void(const std::string& className, QWidget* form)> handler);

}  // namespace Ormelin
