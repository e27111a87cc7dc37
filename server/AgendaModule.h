// The remote data module AGE12100.rdmAgendaSala: the nine methods the agenda screens call.
//
// Every method but GetPesqSala answers a result envelope; refusals carry a Portuguese message for the
// user. The rule that no two scheduled bookings of a room and day overlap (both ends inclusive) is
// checked inside the write transaction that stores them, so racing clients cannot both win.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "server/Clock.h"
#include "server/Dispatch.h"
#include "server/storage/Storage.h"

namespace age::server {

class AgendaModule {
  public:
    AgendaModule(Storage& storage, const Clock& clock) : storage_(storage), clock_(clock) {}
    void registerIn(Dispatcher& dispatcher);
    // GetNrSeq's pace, per connection and per signed-in operator over all of its connections.
    void setSeqRate(double perSecond) { seqRate_ = perSecond; }

    Reply GetSala(const Args& args);
    Reply getNmSala(const Args& args);
    Reply GetAgendaSala(const Args& args);
    Reply GetSysdate(const Args& args);
    Reply GetNrSeq(const Args& args);
    Reply GetHora(const Args& args);
    Reply SetAgendaSala(const Args& args);
    Reply GetPesqSala(const Args& args);
    Reply SetHrSala(const Args& args);

  private:
    bool takeOperatorSeq(const Caller& caller);

    Storage& storage_;
    const Clock& clock_;
    double seqRate_ = Caller::kSeqNumbersPerSecond;
    std::mutex seqMutex_;
    std::map<std::string, RateLimit, std::less<>> seqByOperator_;  // the operators signed in since start
};

// True when the spans share at least one minute, both ends inclusive ("0800"-"0900" meets "0900"-"1000").
bool overlaps(const HourSpan& a, const HourSpan& b);

}  // namespace age::server
