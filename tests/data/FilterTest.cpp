#include "DataSetFixture.h"
#include "platform/data/Filter.h"

using namespace testing_data;
using age::data::parseInFilter;

namespace {

// The screen's way: filtering off, new text, filtering on.
void filterBy(TClientDataSet& ds, const std::string& text) {
    ds.SetFiltered(false);
    ds.SetFilter(text);
    ds.SetFiltered(true);
}

}  // namespace

TEST(FilterText, ReadsTheListsTheScreenBuildsAndSaysWhatIsWrongAndWhere) {
    auto f = parseInFilter("IDSITAGESALA IN (' ', 'A', 'C', 'E')");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->field, "IDSITAGESALA");
    EXPECT_EQ(f->values, (Log{" ", "A", "C", "E"}));
    EXPECT_EQ(parseInFilter("IDSITAGESALA IN (' ')")->values, (Log{" "}));
    EXPECT_EQ(parseInFilter("  X\tin(\n'it''s' ,'' )  ")->values, (Log{"it's", ""}));
    EXPECT_FALSE(parseInFilter("   "));

    const std::pair<const char*, const char*> bad[] = {
        {"IDSITAGESALA = 'A'", "expected IN after the field name at character 14"},
        {"IDSITAGESALA INTO ('A')", "expected IN after the field name at character 16"},
        {"X IN 'A'", "expected '(' after IN at character 6"},
        {"X IN ()", "empty value list at character 7"},
        {"X IN ('A", "unterminated value at character 9"},
        {"X IN ('A' 'C')", "expected ',' or ')' after a value at character 11"},
        {"X IN ('A') AND", "unexpected text after ')' at character 12"},
    };
    for (auto [text, problem] : bad)
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { parseInFilter(text); }),
                  "filter \"" + std::string(text) + "\": " + problem);
}

TEST_F(DataSetTest, FilterListsOnlyTheStatusesAskedFromTheFirstVisibleRow) {
    ds.Last();
    Recorder rec(ds);
    ds.SetFilter("IDSITAGESALA IN ('A')");  // not filtering yet: nothing moves
    EXPECT_TRUE(rec.take().empty());
    ds.SetFiltered(true);
    EXPECT_EQ(rec.take(), (Log{"BeforeScroll", "AfterScroll"}));
    EXPECT_EQ(seq(), "00001");

    filterBy(ds, "IDSITAGESALA IN (' ', 'C', 'E')");
    EXPECT_EQ(column(0), (Log{"00002", "00004"}));
    filterBy(ds, "IDSITAGESALA IN (' ')");
    EXPECT_TRUE(ds.IsEmpty());
    EXPECT_EQ(ds.RecNo(), -1);
    EXPECT_TRUE(ds.Eof());
    ds.SetFiltered(false);
    EXPECT_EQ(ds.RecordCount(), 5);
}

TEST_F(DataSetTest, FilterSurvivesReloadAndClose) {
    filterBy(ds, "IDSITAGESALA IN (' ', 'A')");
    ds.LoadFromPacket(agenda());
    EXPECT_EQ(column(0), (Log{"00001", "00003", "00005"}));
    ds.Close();
    EXPECT_EQ(ds.Filter(), "IDSITAGESALA IN (' ', 'A')");
    EXPECT_TRUE(ds.Filtered());
    ds.LoadFromPacket(agenda());
    EXPECT_EQ(column(0), (Log{"00001", "00003", "00005"}));
}

TEST_F(DataSetTest, BadFilterTextOrAnUnknownFieldIsRefusedAndTheOldFilterStays) {
    filterBy(ds, "IDSITAGESALA IN ('A')");
    EXPECT_THROW(ds.SetFilter("IDSITAGESALA IN ('A'"), EDatabaseError);
    EXPECT_EQ(errorOf([&] { ds.SetFilter("SITUACAO IN ('A')"); }),
              "cdsAgendaSala: filter \"SITUACAO IN ('A')\": unknown field SITUACAO");
    EXPECT_EQ(ds.Filter(), "IDSITAGESALA IN ('A')");
    EXPECT_EQ(ds.RecordCount(), 3);

    TClientDataSet fresh;  // no fields yet: the field is checked when the rows arrive
    fresh.SetFilter("SITUACAO IN ('A')");
    fresh.SetFiltered(true);
    EXPECT_THROW(fresh.LoadFromPacket(agenda()), EDatabaseError);
    EXPECT_FALSE(fresh.Active());
}

TEST_F(DataSetTest, FilteredNewRowShowsUntilPostedAndAPostedRowFollowsTheFilter) {
    filterBy(ds, "IDSITAGESALA IN (' ', 'A')");
    ds.Append();
    EXPECT_EQ(ds.RecordCount(), 4);  // no status yet, still listed
    f("IDSITAGESALA").SetAsString("C");
    EXPECT_EQ(ds.RecordCount(), 4);
    ds.Post();
    EXPECT_EQ(column(0), (Log{"00001", "00003", "00005"}));
    EXPECT_EQ(ds.ChangeCount(), 1);

    ds.MoveTo(1);
    ds.Edit();
    f("IDSITAGESALA").SetAsString("E");
    ds.Post();
    EXPECT_EQ(column(0), (Log{"00001", "00005"}));
    EXPECT_EQ(seq(), "00005");  // the next row became current
    ds.SetFiltered(false);
    EXPECT_EQ(ds.RecordCount(), 6);
}

TEST_F(DataSetTest, ChangingTheFilterFinishesTheRowBeingEdited) {
    ds.Append();
    ds.SetFilter("IDSITAGESALA IN ('A')");  // not filtering: the new row stays
    EXPECT_EQ(ds.State(), TDataSetState::dsInsert);
    ds.SetFiltered(true);  // untouched new row: dropped
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
    ds.Edit();
    f("DSAGENDASALA").SetAsString("Posted by the filter");
    ds.SetFiltered(false);
    EXPECT_EQ(ds.ChangeCount(), 1);
    EXPECT_EQ(column(0), (Log{"00001", "00002", "00003", "00004", "00005"}));
}
