#include "platform/ui/Boundary.h"

#include <QtGlobal>
#include <exception>

#include "platform/data/Abort.h"
#include "platform/rpc/NetConnection.h"
#include "platform/ui/Services.h"

namespace Boundary {

Outcome run(const std::function<void()>& fn) {
    auto& messages = age::ui::MessageService::Instance();
    try {
        fn();
        return Outcome::Completed;
    } catch (const EAbort&) {
        return Outcome::Aborted;
    } catch (const EUserError& e) {
        messages.Error(e.what());
    } catch (const EConnectionError& e) {
        messages.Error(e.what());
    } catch (const ERpcError& e) {
        messages.Error(e.what());  // the server's own message to the user
    } catch (const std::exception& e) {
        qWarning("erro interno: %s", e.what());
        messages.Error(kInternalError);
    } catch (...) {
        qWarning("erro interno: exceção desconhecida");
        messages.Error(kInternalError);
    }
    return Outcome::Failed;
}

Outcome runQuiet(const std::function<void()>& fn) {
    try {
        fn();
        return Outcome::Completed;
    } catch (const EAbort&) {
        return Outcome::Aborted;
    } catch (const std::exception& e) {
        qWarning("%s", e.what());
    } catch (...) {
        qWarning("unknown exception");
    }
    return Outcome::Failed;
}

}  // namespace Boundary
