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
#include "tests/support/TestDatabase.h"
#include "tests/support/TestServer.h"

namespace age::test {

using data::Packet;
using data::Row;
using data::Value;
using nlohmann::json;
using Args = std::initializer_list<TAppServer::Arg>;

inline const Date kToday = makeDate(2026, 12, 7);
inline const DateTime kNow = makeDateTime(2026, 12, 7, 10, 0, 0);
inline const std::string kTaken = "Sala já está reservada para este horário.";

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

inline std::string textOf(const Value& v) {
    return data::valueText(v);
}
inline Row rowOf(const NewBooking& b, const std::string& seq) {
    auto text = [](const std::string& s) { return s.empty() ? Value{} : Value{s}; };
    return {text(b.branch),       text(seq), text(b.status), text(b.reference), text(b.room), b.day,
            text(b.operatorCode), Value{},   text(b.start),  text(b.end),       kNow};
}
inline Row with(Row r, Col col, Value v) {
    r[col] = std::move(v);
    return r;
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
    ServerTest() { server.configure(net); }

    json call(std::string_view method, Args args = {}) { return net.AppServer().Call(method, args); }
    Packet ok(std::string_view method, Args args = {}) {
        return Consiste::CheckResultServ(call(method, args), false, 0);
    }
    // The server's message of a refused call; nothing when it was accepted.
    std::optional<std::string> refused(std::string_view method, Args args) {
        try {
            ok(method, args);
            return std::nullopt;
        } catch (const EServerError& e) {
            return e.what();
        }
    }
    // The JSON-RPC error code of the call (0 when none) and its message.
    int rpcErrorCode(std::string_view method, Args args, std::string* message = nullptr) {
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
        return Row(kBookingFields.size());
    }

    // Sends one change log; nothing when accepted, else the server's message.
    std::optional<std::string> trySave(std::vector<data::Change> changes) {
        return refused("SetAgendaSala", {deltaOf(std::move(changes))});
    }
    std::optional<std::string> tryBook(const NewBooking& b) {
        return trySave({insertOf(rowOf(b, nextSeq(b.room, b.day)))});
    }
    // Updates one column of the stored booking as last read.
    std::optional<std::string> tryChange(const std::string& seq, Col col, Value v, Date day = kToday) {
        Row old = stored(seq, "101", day);
        return trySave({updateOf(old, with(old, col, std::move(v)))});
    }
    // Books and returns the sequence number; fails the test when refused.
    std::string book(const NewBooking& b) {
        std::string seq = nextSeq(b.room, b.day);
        auto refusal = trySave({insertOf(rowOf(b, seq))});
        EXPECT_FALSE(refusal) << *refusal;
        return seq;
    }

    TestServer server{onBackend({})};
    TNetConnection net;
};

}  // namespace age::test
