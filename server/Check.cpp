#include "server/Check.h"

#include <algorithm>
#include <map>
#include <optional>
#include <ostream>
#include <set>

#include "server/AgendaModule.h"

namespace age::server {
namespace {

bool digits(const std::string& s, std::size_t size) {
    return s.size() == size && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isHour(const std::string& s) {
    return digits(s, 4) && s.substr(0, 2) <= "23" && s.substr(2) <= "59";
}

bool isDay(const std::string& s) {
    auto day = parseIsoDate(s);
    return day && formatIsoDate(*day) == s;
}

class Checker {
  public:
    explicit Checker(std::ostream& out) : out_(out) {}

    void visit(const StoredRow& r) {
        ++bookings_;
        rooms_.insert(r.room);
        if (!r.roomKnown) report(where(r) + ": the room is not registered");
        if (!digits(r.seq, 5)) report(where(r) + ": malformed sequence number");
        if (r.status != "A" && r.status != "C" && r.status != "E")
            report(where(r) + ": unknown status \"" + r.status + "\"");
        bool dayOk = isDay(r.day);
        if (!dayOk) report(where(r) + ": malformed day \"" + r.day + "\"");
        bool hoursOk = isHour(r.start) && isHour(r.end) && r.start < r.end;
        if (!hoursOk) report(where(r) + ": malformed hours \"" + r.start + "\"-\"" + r.end + "\"");
        if (r.status == "A" && dayOk && hoursOk) checkOverlap(r);
    }

    // Every stored or pending number must lie outside what the room's counter has still to hand out.
    void checkCounters(Transaction& tx) {
        std::map<std::string, SeqCounter> counters;
        for (auto& c : tx.seqCounters()) {
            rooms_.insert(c.room);
            counters[c.room] = c;
        }
        for (const auto& room : rooms_) {
            SeqCounter c = counters.count(room) ? counters[room] : SeqCounter{room};
            std::vector<long> ahead;
            for (long n : tx.seqsInUse(room))
                if (n > c.last && n <= c.limit) ahead.push_back(n);
            if (!ahead.empty())
                report("room " + room + ": its counter (at " + formatSeq(c.last) + ") is below " +
                       std::to_string(ahead.size()) + " number(s) in use, from " + formatSeq(ahead.front()) +
                       ", and would hand them out again");
        }
    }

    std::size_t finish() {
        if (problems_ == 0)
            out_ << "ok: " << bookings_ << " bookings checked in " << rooms_.size() << " room(s)\n";
        return problems_;
    }

  private:
    static std::string where(const StoredRow& r) {
        return "booking " + r.room + "/" + r.seq + " on " + r.day;
    }

    void report(const std::string& line) {
        out_ << line << '\n';
        ++problems_;
    }

    // Rows come ordered by room, day and start: each scheduled booking is compared with the one of its
    // room and day that ends last so far.
    void checkOverlap(const StoredRow& r) {
        if (latest_ && (latest_->room != r.room || latest_->day != r.day)) latest_.reset();
        if (latest_ && r.start <= latest_->end)
            report(where(r) + ": " + r.start + "-" + r.end + " overlaps booking " + latest_->seq + " (" +
                   latest_->start + "-" + latest_->end + ")");
        if (!latest_ || r.end > latest_->end) latest_ = r;
    }

    std::ostream& out_;
    std::size_t problems_ = 0;
    std::size_t bookings_ = 0;
    std::set<std::string> rooms_;
    std::optional<StoredRow> latest_;
};

}  // namespace

std::size_t checkDatabase(Storage& storage, std::ostream& out) {
    auto tx = storage.read();
    Checker checker(out);
    tx->forEachStoredRow([&](const StoredRow& r) { checker.visit(r); });
    checker.checkCounters(*tx);
    return checker.finish();
}

}  // namespace age::server
