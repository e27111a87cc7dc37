#include <algorithm>
#include <stdexcept>

#include "DataSetFixture.h"

using namespace testing_data;

// ---------------------------------------------------------------- states and events

TEST_F(DataSetTest, EachStepRaisesItsEventsInOrder) {
    Recorder rec(ds);
    ds.LoadFromPacket(agenda());  // the state step runs even when already browsing
    EXPECT_EQ(rec.take(), (Log{"OnStateChange:browse", "AfterOpen", "AfterScroll"}));
    EXPECT_EQ(ds.RecNo(), 0);
    EXPECT_TRUE(ds.Bof());
    ds.MoveTo(1);
    rec.take();

    ds.Insert();
    EXPECT_EQ(rec.take(), (Log{"BeforeInsert", "BeforeScroll", "OnStateChange:insert", "OnNewRecord",
                               "AfterInsert", "AfterScroll"}));
    EXPECT_EQ(ds.RecNo(), 1);
    f("NRSEQAGESALA").SetAsString("00009");
    ds.Post();
    EXPECT_EQ(rec.take(), (Log{"BeforePost", "OnStateChange:browse", "AfterPost"}));
    ds.Edit();
    EXPECT_EQ(rec.take(), (Log{"BeforeEdit", "OnStateChange:edit", "AfterEdit"}));
    ds.Cancel();
    EXPECT_EQ(rec.take(), (Log{"BeforeCancel", "OnStateChange:browse", "AfterCancel"}));
    ds.Append();
    rec.take();
    ds.Cancel();  // a new row moves the cursor, so its cancel scrolls
    EXPECT_EQ(rec.take(),
              (Log{"BeforeCancel", "BeforeScroll", "OnStateChange:browse", "AfterCancel", "AfterScroll"}));
    ds.Delete();
    EXPECT_EQ(rec.take(), (Log{"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}));
    ds.Close();
    EXPECT_EQ(rec.take(), (Log{"OnStateChange:inactive", "AfterClose"}));
    ds.Close();
    EXPECT_TRUE(rec.take().empty());
}

TEST_F(DataSetTest, ObserversHearEachChangeJustBeforeTheEventsOfIt) {
    Recorder rec(ds, true);
    ds.Insert();
    EXPECT_EQ(rec.take(),
              (Log{"BeforeInsert", "BeforeScroll", "obs:AboutToInsert:0", "obs:Inserted:0", "obs:Current:0",
                   "obs:State:insert", "OnStateChange:insert", "OnNewRecord", "AfterInsert", "AfterScroll"}));
    f("DSAGENDASALA").SetAsString("x");
    EXPECT_EQ(rec.take(), (Log{"obs:Changed:0"}));
}

// A grid model keeps its own row count from the notifications: it must never disagree with the data set.
TEST_F(DataSetTest, ARowCountKeptFromNotificationsFollowsEveryOperation) {
    struct Mirror : TDataSetObserver {
        int rows = 0, pending = -1;
        void RowsReset(TClientDataSet& s) override { rows = s.RecordCount(); }
        void RowAboutToBeInserted(TClientDataSet& s, int r) override {
            EXPECT_EQ(s.RecordCount(), rows);
            EXPECT_LE(r, rows);
            pending = r;
        }
        void RowInserted(TClientDataSet& s, int r) override {
            EXPECT_EQ(r, pending);
            EXPECT_EQ(s.RecordCount(), ++rows);
        }
        void RowRemoved(TClientDataSet& s, int) override { EXPECT_EQ(s.RecordCount(), --rows); }
    } mirror;
    ds.AddObserver(&mirror);
    ds.LoadFromPacket(agenda());
    ds.Last();
    ds.Insert();
    f("IDSITAGESALA").SetAsString("A");
    ds.Next();  // posts
    ds.Append();
    ds.First();  // cancels the untouched new row
    ds.Delete();
    ds.SetFilter("IDSITAGESALA IN ('A')");
    ds.SetFiltered(true);
    ds.Edit();
    f("IDSITAGESALA").SetAsString("C");
    ds.Post();  // leaves the visible rows
    ds.CancelUpdates();
    EXPECT_EQ(mirror.rows, ds.RecordCount());
    ds.RemoveObserver(&mirror);
}

TEST_F(DataSetTest, BeforePostAbortLeavesTheRowAsTypedAndLogsNothing) {
    ds.BeforePost = [](TClientDataSet&) { throw EAbort(); };
    ds.Insert();
    f("DSAGENDASALA").SetAsString("New one");
    EXPECT_THROW(ds.Post(), EAbort);
    EXPECT_EQ(ds.State(), TDataSetState::dsInsert);
    EXPECT_EQ(f("DSAGENDASALA").AsString(), "New one");
    EXPECT_TRUE(ds.Modified());
    EXPECT_EQ(ds.ChangeCount(), 0);
    ds.Cancel();

    ds.MoveTo(2);
    ds.Edit();
    f("HRINIAGESALA").SetAsString("1030");
    EXPECT_THROW(ds.Post(), EAbort);
    EXPECT_EQ(ds.State(), TDataSetState::dsEdit);
    EXPECT_EQ(f("HRINIAGESALA").AsString(), "1030");
    EXPECT_TRUE(ds.Delta().changes.empty());
}

TEST_F(DataSetTest, AFailingHandlerInsideAStepLeavesNoHalfDoneRow) {
    Recorder rec(ds);
    ds.MoveTo(3);
    ds.OnNewRecord = [&](TClientDataSet& s) {
        rec.log.emplace_back("OnNewRecord");
        s.FieldByName("IDSITAGESALA").SetAsString("A");
        throw std::runtime_error("server down");
    };
    rec.take();
    EXPECT_THROW(ds.Insert(), std::runtime_error);
    EXPECT_EQ(rec.take(), (Log{"BeforeInsert", "BeforeScroll", "OnStateChange:insert", "OnNewRecord",
                               "OnStateChange:browse"}));
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
    EXPECT_EQ(ds.RecordCount(), 5);
    EXPECT_EQ(seq(), "00004");  // back on the row it started from

    ds.OnNewRecord = nullptr;  // the state step fails instead (no server date)
    auto failing = TDataSetState::dsInsert;
    ds.OnStateChange = [&](TClientDataSet& s) {
        if (s.State() == failing) throw std::runtime_error("no server date");
    };
    EXPECT_THROW(ds.Append(), std::runtime_error);
    EXPECT_EQ(ds.RecordCount(), 5);
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);

    failing = TDataSetState::dsBrowse;
    bool saved = false;
    ds.AfterPost = [&](TClientDataSet&) { saved = true; };  // the save runs even when the step fails
    ds.Edit();
    f("DSAGENDASALA").SetAsString("Changed");
    EXPECT_THROW(ds.Post(), std::runtime_error);
    EXPECT_TRUE(saved);
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
}

TEST_F(DataSetTest, EditGuardEditRulesAndWhereDeleteLands) {
    Recorder rec(ds);
    ds.BeforeEdit = [&](TClientDataSet& s) {
        rec.log.emplace_back("BeforeEdit");
        if (s.FieldByName("IDSITAGESALA").AsString() != "A") throw EAbort();
    };
    ds.MoveTo(1);  // cancelled booking
    rec.take();
    EXPECT_THROW(ds.Edit(), EAbort);
    EXPECT_EQ(rec.take(), (Log{"BeforeEdit"}));
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
    ds.MoveTo(0);
    ds.Edit();
    rec.take();
    ds.Edit();  // already editing
    EXPECT_TRUE(rec.take().empty());
    ds.Cancel();

    ds.MoveTo(1);
    ds.Delete();
    EXPECT_EQ(seq(), "00003");  // the next row
    ds.Last();
    ds.Delete();
    EXPECT_EQ(seq(), "00004");  // or the new last one
    ds.Insert();
    ds.Delete();  // of a new row: a cancel
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
    EXPECT_EQ(ds.RecordCount(), 3);

    ds.LoadFromPacket(Packet{bookingFields(), {}});
    ds.Edit();  // nothing to edit: a new row
    EXPECT_EQ(ds.State(), TDataSetState::dsInsert);
    ds.Cancel();
    EXPECT_EQ(errorOf([&] { ds.Delete(); }), "cdsAgendaSala: Delete: the data set is empty");
}

// ---------------------------------------------------------------- navigation

TEST_F(DataSetTest, MovingOffAModifiedRowPostsItUnlessThePostIsRefused) {
    bool refuse = true;
    ds.BeforePost = [&](TClientDataSet&) {
        if (refuse) throw EAbort();
    };
    ds.Edit();
    f("DSAGENDASALA").SetAsString("Moved on");
    EXPECT_THROW(ds.Next(), EAbort);
    EXPECT_THROW(ds.Last(), EAbort);
    EXPECT_EQ(ds.RecNo(), 0);
    EXPECT_EQ(ds.State(), TDataSetState::dsEdit);

    refuse = false;
    ds.Next();
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
    EXPECT_EQ(ds.RecNo(), 1);
    EXPECT_EQ(ds.ChangeCount(), 1);
    EXPECT_EQ(str(ds.ValueAt(0, 2)), "Moved on");
}

TEST_F(DataSetTest, MovingOffAnUntouchedNewRowDropsIt) {
    ds.OnNewRecord = [](TClientDataSet& s) { s.FieldByName("IDSITAGESALA").SetAsString("A"); };
    ds.MoveTo(2);
    ds.Insert();
    EXPECT_FALSE(ds.Modified());  // defaults do not count
    ds.MoveTo(4);                 // the row shown at 4 is "00004" while the new row is there
    EXPECT_EQ(ds.RecordCount(), 5);
    EXPECT_EQ(seq(), "00004");
    EXPECT_EQ(ds.ChangeCount(), 0);

    ds.Insert();
    ds.Next();  // leaving downwards lands on the row the new one stood before
    EXPECT_EQ(seq(), "00004");
    ds.Append();
    ds.Prior();
    EXPECT_EQ(seq(), "00005");
}

// A save that reloads the rows in a new order (as a screen's refresh after every post does): moving off the
// row lands on the row the user asked for, found by its key, not on whatever took its place.
TEST_F(DataSetTest, MovingOffARowWhosePostReloadsTheRowsFindsTheTargetByItsKey) {
    ds.KeyFields = {"NRSEQAGESALA"};
    // The stored rows sorted by start, as a server returns them; a post stores the row and reloads.
    std::vector<Row> stored = agenda().rows;
    ds.AfterPost = [&](TClientDataSet& s) {
        Row posted;
        for (const auto& field : s.Fields()) posted.push_back(field->AsValue());
        std::erase_if(stored, [&](const Row& r) { return r[0] == posted[0]; });
        stored.push_back(posted);
        std::sort(stored.begin(), stored.end(), [](const Row& a, const Row& b) { return str(a[3]) < str(b[3]); });
        s.LoadFromPacket(Packet{bookingFields(), stored});
        s.Locate({"NRSEQAGESALA"}, {posted[0]});
    };
    // 00001 moves from first to after 00003; the user had clicked 00003, shown at row 2.
    ds.Edit();
    f("HRINIAGESALA").SetAsString("1030");
    ds.MoveTo(2);
    EXPECT_EQ(seq(), "00003");
    EXPECT_EQ(column(0), (Log{"00002", "00003", "00001", "00004", "00005"}));

    // Next and Prior go to the row that was next to (before) the edited one when they were asked.
    ds.MoveTo(2);  // 00001
    ds.Edit();
    f("HRINIAGESALA").SetAsString("0830");  // sorts back to second place
    ds.Next();
    EXPECT_EQ(seq(), "00004");
    ds.Edit();
    f("HRINIAGESALA").SetAsString("0700");  // sorts first
    ds.Prior();
    EXPECT_EQ(seq(), "00003");

    // A new row sorted between others: the clicked row still wins.
    ds.MoveTo(4);  // 00005
    ds.Insert();
    f("NRSEQAGESALA").SetAsString("00006");
    f("HRINIAGESALA").SetAsString("0845");
    ds.MoveTo(3);  // 00003, shown at 3 while the new row stands at 4
    EXPECT_EQ(seq(), "00003");
    EXPECT_EQ(column(0), (Log{"00004", "00001", "00006", "00002", "00003", "00005"}));

    // A target someone removed meanwhile: the data set stays on the row it saved.
    ds.AfterPost = [&](TClientDataSet& s) {
        std::erase_if(stored, [](const Row& r) { return str(r[0]) == "00005"; });
        s.LoadFromPacket(Packet{bookingFields(), stored});
        s.Locate({"NRSEQAGESALA"}, {std::string("00003")});
    };
    ds.Edit();
    f("DSAGENDASALA").SetAsString("Review 2");
    ds.MoveTo(5);
    EXPECT_EQ(seq(), "00003");
}

TEST_F(DataSetTest, ReadingEveryRowFromFirstToEofAndLocating) {
    Log seen;
    for (ds.First(); !ds.Eof(); ds.Next()) seen.push_back(seq());
    EXPECT_EQ(seen, (Log{"00001", "00002", "00003", "00004", "00005"}));
    EXPECT_EQ(ds.RecNo(), 4);
    ds.Prior();
    EXPECT_FALSE(ds.Eof());
    EXPECT_TRUE(ds.Locate({"NRSEQAGESALA"}, {std::string("00002")}));
    EXPECT_EQ(ds.RecNo(), 1);
    EXPECT_FALSE(ds.Locate({"NRSEQAGESALA"}, {std::string("00042")}));
    EXPECT_EQ(ds.RecNo(), 1);
    EXPECT_THROW(ds.MoveTo(5), EDatabaseError);
}

// ---------------------------------------------------------------- fields, values and packets

TEST_F(DataSetTest, FieldsAndTheirTextHandlersSurviveCloseAndReload) {
    TField* status = &f("IDSITAGESALA");
    status->DisplayLabel = "Situação";
    status->OnGetText = [](TField&, std::string& text, bool display) {
        if (display) text = text == "A" ? "Agendada" : text == "C" ? "Cancelada" : "";
    };
    status->OnSetText = [](TField& s, const std::string& text) {
        if (text == "Cancelada") s.SetAsString("C");
    };
    ds.Close();
    EXPECT_EQ(status->AsString(), "");
    ds.LoadFromPacket(agenda());
    EXPECT_EQ(&f("IDSITAGESALA"), status);
    EXPECT_EQ(status->DisplayLabel, "Situação");
    EXPECT_EQ(f("HRINIAGESALA").DisplayLabel, "HRINIAGESALA");
    EXPECT_EQ(status->DisplayText(), "Agendada");
    EXPECT_EQ(status->Text(), "A");

    ds.Edit();
    status->SetText("Cancelada");
    EXPECT_EQ(status->AsString(), "C");
    status->SetText("whatever");  // unknown word: unchanged
    EXPECT_EQ(status->AsString(), "C");
}

TEST_F(DataSetTest, APacketIsMappedByNameAndOneThatDoesNotFitIsRefused) {
    Packet reordered{{{"EXTRA", FieldType::Integer, 0},
                      {"DTATIAGESALA", FieldType::Date, 0},
                      {"HRINIAGESALA", FieldType::String, 5},
                      {"DSAGENDASALA", FieldType::String, 20},
                      {"IDSITAGESALA", FieldType::String, 1},
                      {"NRSEQAGESALA", FieldType::String, 5}},
                     {{std::int64_t{7}, age::makeDate(2026, 12, 8), std::string("0700"), std::string("Ops"),
                       std::string("A"), std::string("00077")}}};
    ds.LoadFromPacket(reordered);
    ASSERT_EQ(ds.Fields().size(), 5u);
    EXPECT_EQ(ds.FindField("EXTRA"), nullptr);
    EXPECT_EQ(seq(), "00077");
    EXPECT_EQ(f("DTATIAGESALA").AsString(), "08/12/2026");

    ds.LoadFromPacket(agenda());
    Packet missing{{{"NRSEQAGESALA", FieldType::String, 5}}, {{std::string("00001")}}};
    EXPECT_EQ(errorOf([&] { ds.LoadFromPacket(missing); }),
              "cdsAgendaSala: the packet has no field IDSITAGESALA");
    auto fields = bookingFields();
    fields[4].type = FieldType::String;
    EXPECT_EQ(errorOf([&] { ds.LoadFromPacket(Packet{fields, {}}); }),
              "cdsAgendaSala: field DTATIAGESALA is string in the packet but date in the data set");
    fields = bookingFields();
    fields[2].size = 0;  // wider than the data set's field
    Packet tooLong{fields, {booking("00001", "A", std::string(21, 'x'), "0800")}};
    EXPECT_NE(errorOf([&] { ds.LoadFromPacket(tooLong); }).find("too long for field DSAGENDASALA"),
              std::string::npos);
    Packet ragged{bookingFields(), {{std::string("00001")}}};
    EXPECT_THROW(ds.LoadFromPacket(ragged), age::data::PacketError);
    EXPECT_EQ(ds.RecordCount(), 5);  // the rows stay
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
}

TEST_F(DataSetTest, SettingValuesChecksStateKindAndSize) {
    EXPECT_EQ(errorOf([&] { f("DSAGENDASALA").SetAsString("x"); }),
              "cdsAgendaSala: field DSAGENDASALA cannot be set: the data set is not being edited");
    EXPECT_EQ(errorOf([&] { ds.FieldByName("NOPE"); }), "cdsAgendaSala: field NOPE not found");
    ds.Edit();
    EXPECT_NE(errorOf([&] { f("DSAGENDASALA").SetValue(std::int64_t{3}); }).find("DSAGENDASALA"),
              std::string::npos);
    f("DSAGENDASALA").SetAsString("Reunião de março 123");  // 20 characters, more bytes
    EXPECT_EQ(errorOf([&] { f("DSAGENDASALA").SetAsString("Reunião de março 1234"); }),
              "cdsAgendaSala: value too long for field DSAGENDASALA (21 characters, at most 20)");
    EXPECT_EQ(f("DSAGENDASALA").AsString(), "Reunião de março 123");

    f("DTATIAGESALA").SetAsDateTime(age::makeDateTime(2026, 12, 9, 15, 30));
    EXPECT_EQ(f("DTATIAGESALA").AsValue(), Value(age::makeDate(2026, 12, 9)));
    f("DTATIAGESALA").SetAsString("10/12/2026");
    EXPECT_EQ(f("DTATIAGESALA").AsValue(), Value(age::makeDate(2026, 12, 10)));
    EXPECT_THROW(f("DTATIAGESALA").SetAsString("32/12/2026"), EDatabaseError);
    f("HRINIAGESALA").SetAsString("");
    EXPECT_TRUE(f("HRINIAGESALA").IsNull());

    f("NRSEQAGESALA").ReadOnly = true;  // read-only is the grid's business
    f("NRSEQAGESALA").SetAsString("00099");
    EXPECT_EQ(seq(), "00099");
}

TEST_F(DataSetTest, WithActiveRowShowsEveryFieldOfThePaintedRow) {
    Recorder rec(ds, true);
    f("DSAGENDASALA").OnGetText = [this](TField&, std::string& text, bool) {
        text += " @" + f("HRINIAGESALA").AsString();  // reads another field of "the current row"
    };
    ds.MoveTo(1);
    ds.Edit();
    f("HRINIAGESALA").SetAsString("0930");
    rec.take();

    Log painted;
    for (int r = 0; r < ds.RecordCount(); ++r)
        ds.WithActiveRow(r, [&] { painted.push_back(f("DSAGENDASALA").DisplayText()); });
    EXPECT_EQ(painted, (Log{"Planning @0800", "Budget @0930", "Review @1000", "Retro @1100", "Demo @1400"}));
    EXPECT_TRUE(rec.take().empty());
    EXPECT_EQ(ds.RecNo(), 1);

    EXPECT_THROW(ds.WithActiveRow(3, [&] { f("HRINIAGESALA").SetAsString("1200"); }), EDatabaseError);
    EXPECT_THROW(ds.WithActiveRow(3, [&] { ds.Next(); }), EDatabaseError);
    EXPECT_THROW(ds.WithActiveRow(3, [] { throw std::runtime_error("paint failed"); }), std::runtime_error);
    EXPECT_EQ(f("HRINIAGESALA").AsString(), "0930");  // the current row is back
    EXPECT_EQ(str(ds.ValueAt(3, 3)), "1100");
}
