#pragma once
// A table view: rows in sections stacked in a scroll view, each row a cell
// that the data source makes (and may take back from the reuse queue).
// Only rows in view have cells; rows scrolled out give theirs back to the
// queue. Reloading some rows checks, as the platform does, that the data
// source's row counts have not changed behind the table's back.
#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/ScrollView.h"
#include "platform/ui/TableViewCell.h"

namespace platform::ui {

struct IndexPath {
    int64_t section = 0;
    int64_t row = 0;
    auto operator<=>(const IndexPath&) const = default;
};

enum class TableViewRowAnimation { None, Fade, Right, Left, Top, Bottom, Automatic };
enum class TableViewScrollPosition { None, Top, Middle, Bottom };

class TableView;

class TableViewDataSource {
public:
    virtual ~TableViewDataSource() = default;
    virtual int64_t numberOfSectionsInTableView(TableView&) { return 1; }
    virtual int64_t numberOfRowsInSection(TableView& table, int64_t section) = 0;
    virtual std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView& table, const IndexPath& path) = 0;
};

class TableViewDelegate : public ScrollViewDelegate {
public:
    // Default: the table's rowHeight.
    virtual double heightForRowAtIndexPath(TableView& table, const IndexPath& path);
    virtual void willDisplayCell(TableView&, TableViewCell&, const IndexPath&) {}
    virtual void didSelectRowAtIndexPath(TableView&, const IndexPath&) {}
};

class TableView : public ScrollView {
public:
    static constexpr double kDefaultRowHeight = 44;

    explicit TableView(const Rect& frame = {});
    ~TableView() override;

    TableViewDataSource* dataSource() const { return dataSource_; }
    void setDataSource(TableViewDataSource* ds);
    TableViewDelegate* delegate() const { return delegate_; }
    void setDelegate(TableViewDelegate* d);
    double rowHeight() const { return rowHeight_; }
    void setRowHeight(double h) { rowHeight_ = h; }

    // Asks the data source again for everything.
    void reloadData();
    // Remakes the cells of these rows. Raises NSInternalInconsistencyException
    // when a section's row count differs from the one the table holds, or a
    // row does not exist.
    void reloadRowsAtIndexPaths(const std::vector<IndexPath>& paths, TableViewRowAnimation animation);

    // A cell given back earlier with this identifier, prepared for reuse; null when none.
    std::shared_ptr<TableViewCell> dequeueReusableCellWithIdentifier(const std::string& identifier);

    int64_t numberOfSections() const { return int64_t(counts_.size()); }
    int64_t numberOfRowsInSection(int64_t section) const;
    // The row's cell while it is in view, else null.
    std::shared_ptr<TableViewCell> cellForRowAtIndexPath(const IndexPath& path) const;
    std::optional<IndexPath> indexPathForCell(const TableViewCell* cell) const;
    std::optional<IndexPath> indexPathForRowAtPoint(Point p) const;
    std::vector<std::shared_ptr<TableViewCell>> visibleCells() const;
    std::vector<IndexPath> indexPathsForVisibleRows() const;
    Rect rectForRowAtIndexPath(const IndexPath& path) const;

    std::optional<IndexPath> indexPathForSelectedRow() const { return selected_; }
    void selectRowAtIndexPath(const IndexPath& path, bool animated, TableViewScrollPosition position);
    void deselectRowAtIndexPath(const IndexPath& path, bool animated);
    void scrollToRowAtIndexPath(const IndexPath& path, TableViewScrollPosition position, bool animated);

    // Cells waiting in the reuse queue under this identifier.
    size_t reuseQueueSize(const std::string& identifier) const;

    void setBounds(const Rect& r) override;
    void setFrame(const Rect& r) override;
    void layoutSubviews() override;
    void touchesBegan(const TouchSet& touches, const Event* event) override;
    void touchesMoved(const TouchSet&, const Event*) override {}
    void touchesEnded(const TouchSet& touches, const Event* event) override;
    void touchesCancelled(const TouchSet& touches, const Event* event) override;

private:
    void measure();
    void tile();
    void enqueue(const std::shared_ptr<TableViewCell>& cell);
    std::shared_ptr<TableViewCell> makeCell(const IndexPath& path);
    void checkPath(const IndexPath& path, const char* verb) const;

    TableViewDataSource* dataSource_ = nullptr;
    TableViewDelegate* delegate_ = nullptr;
    double rowHeight_ = kDefaultRowHeight;
    std::vector<int64_t> counts_;
    std::vector<std::vector<double>> tops_;  // per section, per row, plus the end
    bool loaded_ = false;
    std::map<IndexPath, std::shared_ptr<TableViewCell>> visible_;
    std::map<std::string, std::vector<std::shared_ptr<TableViewCell>>> queue_;
    std::optional<IndexPath> selected_, touched_;
    bool tiling_ = false;
};

}  // namespace platform::ui
