// The agenda screen open inside a host-like main window, against a fresh age-server per test (clock pinned
// at Monday 07/12/2026 10:00), with helpers to seed bookings as another client would and to drive the
// screen as a user does: choose a day and a room, leave the selection panel, read and edit the grid.
#pragma once

#include <QApplication>
#include <QMainWindow>
#include <QMdiArea>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "GuiTest.h"
#include "agenda/Cli_Age12100.h"
#include "platform/rpc/Wire.h"
#include "platform/ui/Consiste.h"
#include "platform/ui/Ormelin.h"
#include "tests/support/TestServer.h"

namespace agenda_test {

inline age::Date december(int day) { return age::makeDate(2026, 12, static_cast<unsigned>(day)); }

struct SeedBooking {
    std::string room;
    age::Date day;
    std::string start, end, reference;
    std::string status = "A";
    std::string operatorCode = "ana";
};

// Another client of the server: stores bookings through the same calls the screen uses.
class Seeder {
public:
    explicit Seeder(const age::test::TestServer& server) { server.configure(net_); }

    // Stores the booking as scheduled, then gives it its status; returns its sequence number.
    std::string book(const SeedBooking& b) {
        TClientDataSet ds;
        ds.LoadFromPacket(check(net_.AppServer().Call("GetAgendaSala", {b.room, b.day})));
        auto seqPacket = check(net_.AppServer().Call("GetNrSeq", {b.room, b.day}));
        const std::string seq = std::get<std::string>(seqPacket.rows.at(0).at(0));
        ds.Append();
        ds.FieldByName("CDFILIAL").SetAsString("0001");
        ds.FieldByName("NRSEQAGESALA").SetAsString(seq);
        ds.FieldByName("IDSITAGESALA").SetAsString("A");
        ds.FieldByName("DSAGENDASALA").SetAsString(b.reference);
        ds.FieldByName("CDSALA").SetAsString(b.room);
        ds.FieldByName("DTATIAGESALA").SetValue(b.day);
        ds.FieldByName("CDOPERADOR").SetAsString(b.operatorCode);
        ds.FieldByName("HRINIAGESALA").SetAsString(b.start);
        ds.FieldByName("HRFINAGESALA").SetAsString(b.end);
        ds.FieldByName("DTINCAGESALA").SetValue(age::makeDateTime(2026, 12, 1, 9));
        ds.Post();
        send(ds);
        if (b.status != "A") {
            ds.Edit();
            ds.FieldByName("IDSITAGESALA").SetAsString(b.status);
            ds.Post();
            send(ds);
        }
        return seq;
    }

    // Sets a field of a stored booking, as another user editing it meanwhile.
    void change(const std::string& room, age::Date day, const std::string& seq, const char* field,
                const std::string& value) {
        TClientDataSet ds;
        ds.LoadFromPacket(check(net_.AppServer().Call("GetAgendaSala", {room, day})));
        if (!ds.Locate({"NRSEQAGESALA"}, {seq})) throw std::runtime_error("no booking " + seq);
        ds.Edit();
        ds.FieldByName(field).SetAsString(value);
        ds.Post();
        send(ds);
    }

    // The stored bookings of the room and day as "HHMM-HHMM reference status", in the server's order.
    std::vector<std::string> stored(const std::string& room, age::Date day) {
        TClientDataSet ds;
        ds.LoadFromPacket(check(net_.AppServer().Call("GetAgendaSala", {room, day})));
        std::vector<std::string> rows;
        auto text = [&](const char* field) { return ds.FieldByName(field).AsString(); };
        for (ds.First(); !ds.Eof(); ds.Next())
            rows.push_back(text("HRINIAGESALA") + "-" + text("HRFINAGESALA") + " " + text("DSAGENDASALA") +
                           " " + text("IDSITAGESALA"));
        return rows;
    }

    TNetConnection& net() { return net_; }

private:
    static age::data::Packet check(const nlohmann::json& result) {
        return Consiste::CheckResultServ(result, false, 0);
    }
    void send(TClientDataSet& ds) {
        check(net_.AppServer().Call("SetAgendaSala", {age::rpc::changeLogToJson(ds.Delta())}));
        ds.MergeChangeLog();
    }
    TNetConnection net_;
};

class AgendaFixture : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        server = std::make_unique<age::test::TestServer>();
        seeder = std::make_unique<Seeder>(*server);
        Ormelin::SetHostValues({"0001", "ana", server->host(), server->port()});
        window = new QMainWindow;
        mdi = new QMdiArea(window);
        window->setCentralWidget(mdi);
        window->resize(1100, 700);
        Application::SetMainWindow(window, mdi);
        window->show();
        QApplication::setActiveWindow(window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        Cli_Age12100::CriaAgendaSala();
        ASSERT_NE(Cli_Age12100::frmAgendaDeSala, nullptr);
        f = Cli_Age12100::frmAgendaDeSala;
        QApplication::processEvents();
        ASSERT_TRUE(f->depAgenda->isAncestorOf(QApplication::focusWidget()));
    }
    void TearDown() override {
        delete window;
        Application::SetMainWindow(nullptr, nullptr);
        seeder.reset();
        server.reset();
        GuiTest::TearDown();
    }

    // Points the screen at another server; the next call connects there.
    void switchServer(const age::test::TestServer& other) {
        Ormelin::SetHostValues({"0001", "ana", other.host(), other.port()});
        f->netAgendaSala.SetConnected(false);
    }

    // --- the selection panel
    void focusOn(QWidget* widget) {
        widget->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
    }
    void choose(age::Date day, const QString& room) {
        focusOn(f->depAgenda);
        f->depAgenda->SetDate(day);
        f->cbbSalas->setCurrentIndex(f->cbbSalas->findText(room));
    }
    void leavePanel() { focusOn(f->dbgPadrao); }
    void open(age::Date day, const QString& room) {
        choose(day, room);
        leavePanel();
    }

    // --- the grid
    int col(const char* field) const { return Consiste::IndiceCol(f->dbgPadrao, field); }
    int rows() const { return f->dbgPadrao->model()->rowCount(); }
    QString cell(int row, const char* field) const {
        return f->dbgPadrao->model()->index(row, col(field)).data().toString();
    }
    std::vector<std::string> columnValues(const char* field) const {
        std::vector<std::string> values;
        for (int r = 0; r < rows(); ++r) values.push_back(cell(r, field).toStdString());
        return values;
    }
    void goTo(int row, const char* field) {
        f->dbgPadrao->setCurrentIndex(f->dbgPadrao->model()->index(row, col(field)));
        QApplication::processEvents();
    }
    std::string current(const char* field) const { return f->cdsAgendaSala->FieldByName(field).AsString(); }
    TDataSetState state() const { return f->cdsAgendaSala->State(); }

    std::unique_ptr<age::test::TestServer> server;
    std::unique_ptr<Seeder> seeder;
    QMainWindow* window = nullptr;
    QMdiArea* mdi = nullptr;
    TfrmAgendaDeSala* f = nullptr;
};

}  // namespace agenda_test
