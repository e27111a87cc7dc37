#include "server/DateList.h"

#include "common/BookingRules.h"
#include "common/LogText.h"
#include "server/Dispatch.h"

namespace age::server {
namespace {

constexpr std::size_t kEntry = 11;  // "_" and a 10-character date

[[noreturn]] void malformed(const std::string& why) {
    throw CallFault(rpc::code::InvalidParams, "Lista de datas inválida: " + why + ".");
}

}  // namespace

std::vector<Date> parseDateList(std::string_view list) {
    std::vector<Date> days;
    if (list.empty()) return days;
    if (list.size() > kMaxDateList)
        malformed("tem " + std::to_string(list.size()) + " caracteres, o máximo é " +
                  std::to_string(kMaxDateList) + " (98 dias)");
    if (list.size() % kEntry != 0) malformed("cada data deve ser \"_dd/mm/aaaa\"");
    for (std::size_t at = 0; at < list.size(); at += kEntry) {
        std::string_view text = list.substr(at + 1, kEntry - 1);
        auto day = parseShortDate(text);
        if (list[at] != '_' || !day)
            malformed("\"" + age::quoted(list.substr(at, kEntry)) + "\" não é \"_dd/mm/aaaa\"");
        if (!days.empty() && *day <= days.back())
            malformed("as datas devem estar em ordem crescente, sem repetição");
        days.push_back(*day);
    }
    return days;
}

std::string formatDateList(const std::vector<Date>& days) {
    std::string out;
    for (Date d : days) out += "_" + formatShortDate(d);
    return out;
}

}  // namespace age::server
