// The agenda screen open inside a host-like main window, against a fresh age-server per test (clock pinned
// at Monday 07/12/2026 10:00), with a second client to seed and read bookings, and helpers to drive the
// screen as a user does: choose a day and a room, leave the selection panel, read and edit the grid.
// The automatic booking tests build on it too.
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

using Strings = std::vector<std::string>;

inline age::Date december(int day) {
    return age::makeDate(2026, 12, static_cast<unsigned>(day));
}

struct SeedBooking {
    std::string room;
    age::Date day;
    std::string start, end, reference;
    std::string status = "A";
    std::string operatorCode = "ana";
};

// Another client of the server: stores and reads bookings through the same calls the screen uses.
class Seeder {
  public:
    explicit Seeder(const age::test::TestServer& server) { server.configure(net_); }

    // Stores the booking as scheduled, then gives it its status; returns its sequence number.
    std::string book(const SeedBooking& b) {
        TClientDataSet ds;
        load(ds, b.room, b.day);
        auto seqPacket = check(net_.AppServer().Call("GetNrSeq", {b.room, b.day}));
        const std::string seq = std::get<std::string>(seqPacket.rows.at(0).at(0));
        ds.Append();
        const std::pair<const char*, std::string> fields[] = {
            {"CDFILIAL", "0001"},          {"NRSEQAGESALA", seq},  {"IDSITAGESALA", "A"},
            {"DSAGENDASALA", b.reference}, {"CDSALA", b.room},     {"CDOPERADOR", b.operatorCode},
            {"HRINIAGESALA", b.start},     {"HRFINAGESALA", b.end}};
        for (const auto& [field, value] : fields) ds.FieldByName(field).SetAsString(value);
        ds.FieldByName("DTATIAGESALA").SetValue(b.day);
        ds.FieldByName("DTINCAGESALA").SetValue(age::makeDateTime(2026, 12, 1, 9));
        ds.Post();
        send(ds);
        if (b.status != "A") change(b.room, b.day, seq, "IDSITAGESALA", b.status);
        return seq;
    }

    // Sets a field of a stored booking, as another user editing it meanwhile.
    void change(const std::string& room, age::Date day, const std::string& seq, const char* field,
                const std::string& value) {
        TClientDataSet ds;
        load(ds, room, day);
        if (!ds.Locate({"NRSEQAGESALA"}, {seq})) throw std::runtime_error("no booking " + seq);
        ds.Edit();
        ds.FieldByName(field).SetAsString(value);
        ds.Post();
        send(ds);
    }

    // The stored bookings of the room and day, in the server's order: the fields' texts joined by blanks.
    Strings stored(const std::string& room, age::Date day,
                   std::initializer_list<const char*> fields = {
                       "HRINIAGESALA", "HRFINAGESALA", "DSAGENDASALA", "IDSITAGESALA", "CDOPERADOR"}) {
        TClientDataSet ds;
        load(ds, room, day);
        Strings rows;
        for (ds.First(); !ds.Eof(); ds.Next()) {
            std::string row;
            for (const char* field : fields)
                row += (row.empty() ? "" : " ") + ds.FieldByName(field).AsString();
            rows.push_back(row);
        }
        return rows;
    }

  private:
    static age::data::Packet check(const nlohmann::json& result) {
        return Consiste::CheckResultServ(result, false, 0);
    }
    void load(TClientDataSet& ds, const std::string& room, age::Date day) {
        ds.LoadFromPacket(check(net_.AppServer().Call("GetAgendaSala", {room, day})));
    }
    void send(TClientDataSet& ds) {
        check(net_.AppServer().Call("SetAgendaSala", {age::rpc::changeLogToJson(ds.Delta())}));
        ds.MergeChangeLog();
    }
    TNetConnection net_;
};

// SetUp opens the agenda screen; a suite that tests the opening itself calls startHost() alone.
class AgendaFixture : public GuiTest {
  protected:
    void SetUp() override {
        startHost();
        openScreen();
        ASSERT_TRUE(f->depAgenda->isAncestorOf(QApplication::focusWidget()));
    }
    void startHost(age::test::ServerSetup setup = {}) {
        GuiTest::SetUp();
        server = std::make_unique<age::test::TestServer>(std::move(setup));
        seeder = std::make_unique<Seeder>(*server);
        useServer(server->host(), server->port());
        window = new QMainWindow;
        mdi = new QMdiArea(window);
        window->setCentralWidget(mdi);
        window->setGeometry(120, 80, 1100, 700);
        Application::SetMainWindow(window, mdi);
        window->show();
        QApplication::setActiveWindow(window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    }
    void openScreen() {
        Cli_Age12100::CriaAgendaSala();
        f = Cli_Age12100::frmAgendaDeSala;
        ASSERT_NE(f, nullptr);
        QApplication::processEvents();
    }
    void TearDown() override {
        delete window;  // closes the screen with it
        Application::SetMainWindow(nullptr, nullptr);
        EXPECT_FALSE(Cli_Age12100::boIdCriado) << "the screen's unit state outlived the screen";
        seeder.reset();
        server.reset();
        GuiTest::TearDown();
    }

    static void useServer(const std::string& host, int port, const std::string& branch = "0001") {
        Ormelin::SetHostValues({branch, "ana", host, port});
    }
    // Points the open screen at another server; the next call connects there.
    void switchServer(const age::test::TestServer& other) {
        useServer(other.host(), other.port());
        f->netAgendaSala.SetConnected(false);
    }

    // --- the selection panel
    static void focusOn(QWidget* widget) {
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
    Strings columnValues(const char* field) const {
        Strings values;
        for (int r = 0; r < rows(); ++r) values.push_back(cell(r, field).toStdString());
        return values;
    }
    void goTo(int row, const char* field) {
        f->dbgPadrao->setCurrentIndex(f->dbgPadrao->model()->index(row, col(field)));
        QApplication::processEvents();
    }
    std::string current(const char* field) const { return f->cdsAgendaSala->FieldByName(field).AsString(); }
    void set(const char* field, const std::string& value) {
        f->cdsAgendaSala->FieldByName(field).SetAsString(value);
    }
    TDataSetState state() const { return f->cdsAgendaSala->State(); }

    std::unique_ptr<age::test::TestServer> server;
    std::unique_ptr<Seeder> seeder;
    QMainWindow* window = nullptr;
    QMdiArea* mdi = nullptr;
    TfrmAgendaDeSala* f = nullptr;
};

}  // namespace agenda_test
