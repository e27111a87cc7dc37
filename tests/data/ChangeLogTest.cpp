#include "DataSetFixture.h"

using namespace testing_data;
using age::data::Change;
using age::data::ChangeOp;

namespace {

Row with(Row row, std::size_t field, Value v) {
    row[field] = std::move(v);
    return row;
}

}  // namespace

TEST_F(DataSetTest, DeltaHoldsInsertUpdateDeleteAsCompleteRowsInTheOrderMade) {
    EXPECT_EQ(ds.ChangeCount(), 0);
    editRef(2, "Review v2");
    EXPECT_EQ(ds.ChangeCount(), 1);
    ds.Append();
    f("NRSEQAGESALA").SetAsString("00006");
    f("IDSITAGESALA").SetAsString("A");
    EXPECT_EQ(ds.ChangeCount(), 1);  // not before the post
    ds.Post();
    EXPECT_EQ(ds.ChangeCount(), 2);
    ds.MoveTo(0);
    ds.Delete();
    EXPECT_EQ(ds.ChangeCount(), 3);

    auto delta = ds.Delta();
    EXPECT_EQ(delta.fields, bookingFields());
    Row review = agenda().rows[2];
    Row added{std::string("00006"), std::string("A"), Value{}, Value{}, Value{}};
    ASSERT_EQ(delta.changes.size(), 3u);
    EXPECT_EQ(delta.changes[0],
              (Change{ChangeOp::Update, review, with(review, 2, std::string("Review v2"))}));
    EXPECT_EQ(delta.changes[1], (Change{ChangeOp::Insert, {}, added}));
    EXPECT_EQ(delta.changes[2], (Change{ChangeOp::Delete, agenda().rows[0], {}}));
    EXPECT_NO_THROW(delta.validate());
}

TEST_F(DataSetTest, AnUnsentRowKeepsItsFirstOperationAndTheLoadedValues) {
    ds.Append();
    f("NRSEQAGESALA").SetAsString("00006");
    ds.Post();
    ds.Edit();
    f("DSAGENDASALA").SetAsString("Filled later");
    ds.Post();
    ASSERT_EQ(ds.ChangeCount(), 1);
    auto change = ds.Delta().changes.at(0);
    EXPECT_EQ(change.op, ChangeOp::Insert);
    EXPECT_EQ(str(change.newValues[2]), "Filled later");
    EXPECT_TRUE(f("DSAGENDASALA").OldValue().index() == 0);
    ds.Delete();  // a new row deleted before sending leaves no trace
    EXPECT_EQ(ds.ChangeCount(), 0);
    EXPECT_TRUE(ds.Delta().changes.empty());

    editRef(1, "First");
    editRef(1, "Second");
    ASSERT_EQ(ds.ChangeCount(), 1);
    EXPECT_EQ(str(ds.Delta().changes[0].oldValues[2]), "Budget");
    EXPECT_EQ(str(f("DSAGENDASALA").OldValue()), "Budget");
    ds.Delete();  // an edited row deleted: the server is asked to delete the row it knows
    EXPECT_EQ(ds.ChangeCount(), 1);
    EXPECT_EQ(ds.Delta().changes.at(0), (Change{ChangeOp::Delete, agenda().rows[1], {}}));
}

TEST_F(DataSetTest, MergeMakesTheSavedValuesTheOldValuesOfTheNextEdit) {
    editRef(0, "Saved");
    ds.MoveTo(2);
    ds.Delete();
    ds.MergeChangeLog();
    EXPECT_EQ(ds.ChangeCount(), 0);
    EXPECT_EQ(ds.RecordCount(), 4);

    ds.MoveTo(0);
    ds.Edit();
    EXPECT_EQ(str(f("DSAGENDASALA").OldValue()), "Saved");
    f("DSAGENDASALA").SetAsString("Saved again");
    EXPECT_EQ(str(f("DSAGENDASALA").OldValue()), "Saved");
    ds.Post();
    EXPECT_EQ(ds.ChangeCount(), 1);
    auto change = ds.Delta().changes.at(0);
    EXPECT_EQ(str(change.oldValues[2]), "Saved");
    EXPECT_EQ(str(change.newValues[2]), "Saved again");

    ds.CancelUpdates();  // undoes only what came after the merge
    EXPECT_EQ(ds.ChangeCount(), 0);
    EXPECT_EQ(f("DSAGENDASALA").AsString(), "Saved");
    EXPECT_EQ(ds.RecordCount(), 4);
}

TEST_F(DataSetTest, CancelUpdatesUndoesEveryUnsentChange) {
    editRef(1, "Edited");
    ds.MoveTo(3);
    ds.Delete();
    ds.MoveTo(0);
    ds.Insert();
    f("NRSEQAGESALA").SetAsString("00006");
    ds.Post();
    ds.MoveTo(4);  // "00005"
    ds.Edit();
    f("DSAGENDASALA").SetAsString("pending");
    EXPECT_EQ(ds.ChangeCount(), 3);

    ds.CancelUpdates();
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
    EXPECT_EQ(ds.ChangeCount(), 0);
    EXPECT_EQ(column(0), (Log{"00001", "00002", "00003", "00004", "00005"}));
    EXPECT_EQ(column(2), (Log{"Planning", "Budget", "Review", "Retro", "Demo"}));
    EXPECT_EQ(seq(), "00005");  // the current row stays
}

TEST_F(DataSetTest, WithoutLoggingChangesAreAtOnceTheStoredState) {
    ds.LogChanges = false;
    editRef(0, "Quiet");
    ds.Append();
    f("NRSEQAGESALA").SetAsString("00006");
    ds.Post();
    ds.MoveTo(1);
    ds.Delete();
    EXPECT_EQ(ds.ChangeCount(), 0);
    ds.MoveTo(0);
    EXPECT_EQ(str(f("DSAGENDASALA").OldValue()), "Quiet");
    ds.CancelUpdates();
    EXPECT_EQ(ds.RecordCount(), 5);
    EXPECT_EQ(f("DSAGENDASALA").AsString(), "Quiet");
}
