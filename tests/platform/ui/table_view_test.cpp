// Table view: cells only for rows in view, reuse on scrolling, reloads, and
// the platform's row-count check when some rows are reloaded.
#include <gtest/gtest.h>

#include "platform/foundation/Exception.h"
#include "platform/ui/TableView.h"

using namespace platform::ui;

namespace {

class Rows : public TableViewDataSource, public TableViewDelegate {
public:
    int64_t count = 100;
    int made = 0, fresh = 0;
    std::vector<IndexPath> selected;
    int64_t numberOfRowsInSection(TableView&, int64_t) override { return count; }
    std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView& t, const IndexPath& p) override {
        ++made;
        auto cell = t.dequeueReusableCellWithIdentifier("row");
        if (!cell) {
            ++fresh;
            cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, "row");
        }
        cell->textLabel()->setText("row " + std::to_string(p.row) + "/" + std::to_string(count));
        return cell;
    }
    double heightForRowAtIndexPath(TableView&, const IndexPath& p) override { return p.row == 0 ? 80 : 40; }
    void didSelectRowAtIndexPath(TableView&, const IndexPath& p) override { selected.push_back(p); }
};

}  // namespace

TEST(TableViewTest, OnlyRowsInViewHaveCellsAndScrolledOutCellsAreReused) {
    Rows rows;
    auto table = std::make_shared<TableView>(Rect{0, 0, 320, 200});
    table->setDataSource(&rows);
    table->setDelegate(&rows);
    table->reloadData();
    EXPECT_EQ(table->contentSize().height, 80 + 99 * 40);
    EXPECT_EQ(table->visibleCells().size(), 4u);  // 0..80, 80..120, 120..160, 160..200
    EXPECT_EQ(table->rectForRowAtIndexPath({0, 2}), (Rect{0, 120, 320, 40}));
    EXPECT_EQ(table->cellForRowAtIndexPath({0, 4}), nullptr);
    table->setContentOffset({0, 400});
    EXPECT_EQ(table->indexPathsForVisibleRows().front(), (IndexPath{0, 9}));
    EXPECT_EQ(table->visibleCells().size(), 5u);
    EXPECT_EQ(rows.fresh, 5) << "four came back from the queue, one more was made";
    EXPECT_EQ(table->cellForRowAtIndexPath({0, 10})->textLabel()->text(), "row 10/100");
}

TEST(TableViewTest, ReloadingSomeRowsChecksTheRowCount) {
    Rows rows;
    auto table = std::make_shared<TableView>(Rect{0, 0, 320, 200});
    table->setDataSource(&rows);
    table->reloadData();
    auto before = table->cellForRowAtIndexPath({0, 1});
    table->reloadRowsAtIndexPaths({{0, 1}}, TableViewRowAnimation::None);
    EXPECT_EQ(table->cellForRowAtIndexPath({0, 1})->textLabel()->text(), "row 1/100");

    rows.count = 101;  // changed behind the table's back
    try {
        table->reloadRowsAtIndexPaths({{0, 1}}, TableViewRowAnimation::None);
        FAIL() << "no check";
    } catch (const platform::foundation::Exception& e) {
        EXPECT_EQ(e.name(), platform::foundation::kInternalInconsistencyException);
        EXPECT_NE(e.reason().find("invalid number of rows in section 0.  The number of rows contained "
                                  "in an existing section after the update (101) must be equal to the "
                                  "number of rows contained in that section before the update (100)"),
                  std::string::npos);
    }
    table->reloadData();  // a full reload takes the new count
    EXPECT_EQ(table->numberOfRowsInSection(0), 101);
    EXPECT_THROW(table->reloadRowsAtIndexPaths({{0, 101}}, TableViewRowAnimation::None),
                 platform::foundation::Exception);
}

TEST(TableViewTest, SelectionFollowsTheRow) {
    Rows rows;
    auto table = std::make_shared<TableView>(Rect{0, 0, 320, 200});
    table->setDataSource(&rows);
    table->setDelegate(&rows);
    table->reloadData();
    EXPECT_EQ(table->indexPathForRowAtPoint({10, 100}), (IndexPath{0, 1}));
    table->selectRowAtIndexPath({0, 1}, false, TableViewScrollPosition::None);
    EXPECT_TRUE(table->cellForRowAtIndexPath({0, 1})->isSelected());
    table->deselectRowAtIndexPath({0, 1}, false);
    EXPECT_FALSE(table->cellForRowAtIndexPath({0, 1})->isSelected());
}
