// A running age-server (pinned at Monday 2026-12-07 10:00) with a connection to it, and shortcuts to
// book, read and change bookings the way the agenda screen does. Fixtures derived from ServerTest run on
// each storage backend: instantiate them with AGE_ON_EACH_BACKEND(Fixture) and write TEST_P.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/Booking.h"
#include "platform/rpc/CheckResult.h"
#include "platform/rpc/NetConnection.h"
#include "platform/rpc/Wire.h"
#include "tests/support/BackendTest.h"
#include "tests/support/TestServer.h"

namespace age::test {

using data::Packet;
using data::Row;
using data::Value;
using nlohmann::json;

inline const Date kToday = makeDate(2026, 12, 7);
inline const DateTime kNow = makeDateTime(2026, 12, 7, 10, 0, 0);

// Field positions in a booking row (kBookingFields order).
enum Col { CDFILIAL, NRSEQ, IDSIT, DSAGENDA, CDSALA, DTATI, CDOPERADOR, NMOPERADOR, HRINI, HRFIN, DTINC };

struct NewBooking {
    std::string start;
    std::string end;
    std::string room = "101";
    Date day = kToday;
    std::string status = "A";
    std::string reference = "Reunião de equipe";
    std::string operatorCode = "ana";
    std::string branch = "0001";
};

inline std::vector<data::FieldDef> bookingFields() {
    std::vector<data::FieldDef> fields;
    for (const auto& f : kBookingFields) {
        auto type = f.type == ColumnType::Date       ? data::FieldType::Date
                    : f.type == ColumnType::DateTime ? data::FieldType::DateTime
                                                     : data::FieldType::String;
        fields.push_back({std::string(f.name), type, type == data::FieldType::String ? f.size : 0});
    }
    return fields;
}

inline Value text(const std::string& s) {
    return s.empty() ? Value{} : Value{s};
}
inline std::string textOf(const Value& v) {
    return data::valueText(v);
}

inline Row rowOf(const NewBooking& b, const std::string& seq) {
    return {text(b.branch),       text(seq), text(b.status), text(b.reference), text(b.room), b.day,
            text(b.operatorCode), Value{},   text(b.start),  text(b.end),       kNow};
}

inline json deltaOf(std::vector<data::Change> changes) {
    return rpc::changeLogToJson({bookingFields(), std::move(changes)});
}
inline data::Change insertOf(Row row) {
    return {data::ChangeOp::Insert, {}, std::move(row)};
}
inline data::Change updateOf(Row old, Row now) {
    return {data::ChangeOp::Update, std::move(old), std::move(now)};
}
inline data::Change deleteOf(Row old) {
    return {data::ChangeOp::Delete, std::move(old), {}};
}

// A test whose parameter is the storage backend.
class BackendParamTest : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override { AGE_REQUIRE_BACKEND(GetParam()); }

    // `setup` on this test's backend. When the backend is missing, a stand-in that is never started: SetUp
    // skips the test before it is used.
    static ServerSetup onBackend(ServerSetup setup) {
        if (unavailable(GetParam())) return ServerSetup{.rooms = {}, .operators = {}, .start = false};
        if (GetParam() == Backend::Postgres) setup.db = "postgresql";
        return setup;
    }
};

class ServerTest : public BackendParamTest {
  protected:
    explicit ServerTest(ServerSetup setup = {}) : server(onBackend(std::move(setup))) {
        server.configure(net);
    }

    json call(std::string_view method, std::initializer_list<TAppServer::Arg> args = {}) {
        return net.AppServer().Call(method, args);
    }
    Packet ok(std::string_view method, std::initializer_list<TAppServer::Arg> args = {}) {
        return Consiste::CheckResultServ(call(method, args), false, 0);
    }
    // The server's message of a refused call; fails the test when the call is accepted.
    std::string refusal(std::string_view method, std::initializer_list<TAppServer::Arg> args = {}) {
        try {
            Consiste::CheckResultServ(call(method, args), false, 0);
        } catch (const EServerError& e) {
            return e.what();
        }
        ADD_FAILURE() << method << " was accepted";
        return {};
    }
    int rpcErrorCode(std::string_view method, std::initializer_list<TAppServer::Arg> args,
                     std::string* message = nullptr) {
        try {
            call(method, args);
        } catch (const ERpcError& e) {
            if (message) *message = e.what();
            return e.Code();
        }
        return 0;
    }

    std::string nextSeq(const std::string& room = "101", Date day = kToday) {
        return textOf(ok("GetNrSeq", {room, day}).rows.at(0).at(0));
    }
    Packet agenda(const std::string& room = "101", Date day = kToday) {
        return ok("GetAgendaSala", {room, day});
    }
    Row stored(const std::string& seq, const std::string& room = "101", Date day = kToday) {
        for (auto& r : agenda(room, day).rows)
            if (textOf(r[NRSEQ]) == seq) return r;
        ADD_FAILURE() << "booking " << seq << " not stored";
        return {};
    }
    Row storedWithoutName(const std::string& seq, const std::string& room = "101", Date day = kToday) {
        Row r = stored(seq, room, day);
        if (!r.empty()) r[NMOPERADOR] = Value{};
        return r;
    }

    // Sends one change log; nothing when accepted, else the server's message.
    std::optional<std::string> trySave(std::vector<data::Change> changes) {
        try {
            Consiste::CheckResultServ(call("SetAgendaSala", {deltaOf(std::move(changes))}), false, 0);
            return std::nullopt;
        } catch (const EServerError& e) {
            return std::string(e.what());
        }
    }
    std::optional<std::string> tryBook(const NewBooking& b) {
        return trySave({insertOf(rowOf(b, nextSeq(b.room, b.day)))});
    }
    // Books and returns the sequence number; fails the test when refused.
    std::string book(const NewBooking& b) {
        std::string seq = nextSeq(b.room, b.day);
        auto refused = trySave({insertOf(rowOf(b, seq))});
        EXPECT_FALSE(refused) << *refused;
        return seq;
    }

    TestServer server;
    TNetConnection net;
};

}  // namespace age::test
