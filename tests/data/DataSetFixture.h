// Booking-like rows, an event recorder and the fixture shared by the data set tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/data/ClientDataSet.h"

namespace testing_data {

using age::data::FieldDef;
using age::data::FieldType;
using age::data::Packet;
using age::data::Row;
using age::data::Value;
using Log = std::vector<std::string>;

inline std::vector<FieldDef> bookingFields() {
    return {{"NRSEQAGESALA", FieldType::String, 5},
            {"IDSITAGESALA", FieldType::String, 1},
            {"DSAGENDASALA", FieldType::String, 20},
            {"HRINIAGESALA", FieldType::String, 5},
            {"DTATIAGESALA", FieldType::Date, 0}};
}

inline Row booking(const std::string& seq, const std::string& status, const std::string& ref,
                   const std::string& start) {
    return {seq, status, ref, start, age::makeDate(2026, 12, 7)};
}

// Three scheduled bookings, one cancelled, one closed.
inline Packet agenda() {
    return {bookingFields(),
            {booking("00001", "A", "Planning", "0800"), booking("00002", "C", "Budget", "0900"),
             booking("00003", "A", "Review", "1000"), booking("00004", "E", "Retro", "1100"),
             booking("00005", "A", "Demo", "1400")}};
}

inline std::string str(const Value& v) { return age::data::valueText(v); }

inline std::string stateName(TDataSetState s) {
    static const char* names[] = {"inactive", "browse", "edit", "insert"};
    return names[static_cast<int>(s)];
}

// The message of the error the call throws.
template <class Error = EDatabaseError>
std::string errorOf(auto&& fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

// Records every event and, when observing, every notification, in the order they happen.
class Recorder : public TDataSetObserver {
public:
    Log log;

    explicit Recorder(TClientDataSet& ds, bool observe = false) {
        using E = TClientDataSet::Event TClientDataSet::*;
        const std::pair<E, const char*> events[] = {
            {&TClientDataSet::BeforeInsert, "BeforeInsert"}, {&TClientDataSet::OnNewRecord, "OnNewRecord"},
            {&TClientDataSet::AfterInsert, "AfterInsert"},   {&TClientDataSet::BeforeEdit, "BeforeEdit"},
            {&TClientDataSet::AfterEdit, "AfterEdit"},       {&TClientDataSet::BeforePost, "BeforePost"},
            {&TClientDataSet::AfterPost, "AfterPost"},       {&TClientDataSet::BeforeCancel, "BeforeCancel"},
            {&TClientDataSet::AfterCancel, "AfterCancel"},   {&TClientDataSet::BeforeDelete, "BeforeDelete"},
            {&TClientDataSet::AfterDelete, "AfterDelete"},   {&TClientDataSet::BeforeScroll, "BeforeScroll"},
            {&TClientDataSet::AfterScroll, "AfterScroll"},   {&TClientDataSet::AfterOpen, "AfterOpen"},
            {&TClientDataSet::AfterClose, "AfterClose"}};
        for (auto [event, name] : events)
            ds.*event = [this, name](TClientDataSet&) { log.emplace_back(name); };
        ds.OnStateChange = [this](TClientDataSet& s) {
            log.push_back("OnStateChange:" + stateName(s.State()));
        };
        if (observe) ds.AddObserver(this);
    }

    Log take() { return std::exchange(log, {}); }

    void StateChanged(TClientDataSet& s) override { log.push_back("obs:State:" + stateName(s.State())); }
    void RowAboutToBeInserted(TClientDataSet&, int r) override { add("obs:AboutToInsert:", r); }
    void RowInserted(TClientDataSet&, int r) override { add("obs:Inserted:", r); }
    void RowChanged(TClientDataSet&, int r) override { add("obs:Changed:", r); }
    void CurrentChanged(TClientDataSet& s) override { add("obs:Current:", s.RecNo()); }

private:
    void add(const char* what, int row) { log.push_back(what + std::to_string(row)); }
};

// The five bookings loaded into a data set named as the agenda's.
struct DataSetTest : ::testing::Test {
    TClientDataSet ds{"cdsAgendaSala"};
    void SetUp() override { ds.LoadFromPacket(agenda()); }
    TField& f(const char* name) { return ds.FieldByName(name); }
    std::string seq() { return f("NRSEQAGESALA").AsString(); }
    Log column(int field) {
        Log out;
        for (int r = 0; r < ds.RecordCount(); ++r) out.push_back(str(ds.ValueAt(r, field)));
        return out;
    }
    void editRef(int row, const std::string& text) {
        ds.MoveTo(row);
        ds.Edit();
        f("DSAGENDASALA").SetAsString(text);
        ds.Post();
    }
};

}  // namespace testing_data
