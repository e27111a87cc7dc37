#include "platform/ui/Consiste.h"

#include "common/BookingRules.h"
#include "platform/data/Abort.h"
#include "platform/ui/DBGrid.h"
#include "platform/ui/Services.h"

namespace Consiste {

void MensErro(const std::string& text, bool abort) {
    age::ui::MessageService::Instance().Error(text);
    if (abort) throw EAbort(text);
}

bool EmptyString(std::string_view text) { return age::isBlank(text); }

int IndiceCol(const TDBGrid* grid, std::string_view fieldName) {
    return grid ? grid->ColumnIndexOf(fieldName) : -1;
}

}  // namespace Consiste
