#include "platform/ui/Boundary.h"

#include <QtGlobal>
#include <exception>

#include "platform/data/Abort.h"
#include "platform/ui/Services.h"

namespace Boundary {

Outcome run(const std::function<void()>& fn) {
    try {
        fn();
        return Outcome::Completed;
    } catch (const EAbort&) {
        return Outcome::Aborted;
    } catch (const std::exception& e) {
        age::ui::MessageService::Instance().Error(e.what());
    } catch (...) {
        age::ui::MessageService::Instance().Error("Erro desconhecido.");
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
