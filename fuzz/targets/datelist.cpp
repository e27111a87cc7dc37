// The automatic booking's date list, "_dd/mm/yyyy" repeated.
#include "server/DateList.h"
#include "fuzz/targets/Check.h"
#include "server/Dispatch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view list(reinterpret_cast<const char*>(data), size);
    try {
        auto days = age::server::parseDateList(list);
        AGE_FUZZ_CHECK(days.size() <= 98);
        AGE_FUZZ_CHECK(age::server::formatDateList(days) == list);
    } catch (const age::server::CallFault& e) {
        AGE_FUZZ_CHECK(e.code() == age::rpc::code::InvalidParams);
    }
    return 0;
}
