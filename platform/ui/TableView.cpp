#include "platform/ui/TableView.h"

#include <algorithm>

#include "platform/foundation/Exception.h"

namespace platform::ui {

double TableViewDelegate::heightForRowAtIndexPath(TableView& table, const IndexPath&) { return table.rowHeight(); }

TableView::TableView(const Rect& frame) : ScrollView(frame) {
    setBackgroundColor(Color::whiteColor());
    setShowsHorizontalScrollIndicator(false);
}

TableView::~TableView() = default;

void TableView::setDataSource(TableViewDataSource* ds) {
    dataSource_ = ds;
    loaded_ = false;
    setNeedsLayout();
}

void TableView::setDelegate(TableViewDelegate* d) {
    delegate_ = d;
    ScrollView::setDelegate(d);
    loaded_ = false;
    setNeedsLayout();
}

int64_t TableView::numberOfRowsInSection(int64_t section) const {
    if (section < 0 || section >= int64_t(counts_.size())) return 0;
    return counts_[size_t(section)];
}

void TableView::measure() {
    counts_.clear();
    tops_.clear();
    if (!dataSource_) {
        setContentSize({bounds().width(), 0});
        loaded_ = true;
        return;
    }
    const int64_t sections = std::max<int64_t>(0, dataSource_->numberOfSectionsInTableView(*this));
    double y = 0;
    for (int64_t s = 0; s < sections; ++s) {
        const int64_t rows = std::max<int64_t>(0, dataSource_->numberOfRowsInSection(*this, s));
        counts_.push_back(rows);
        std::vector<double> tops;
        tops.reserve(size_t(rows) + 1);
        for (int64_t r = 0; r < rows; ++r) {
            tops.push_back(y);
            y += std::max(0.0, delegate_ ? delegate_->heightForRowAtIndexPath(*this, {s, r}) : rowHeight_);
        }
        tops.push_back(y);
        tops_.push_back(std::move(tops));
    }
    setContentSize({bounds().width(), y});
    loaded_ = true;
}

Rect TableView::rectForRowAtIndexPath(const IndexPath& p) const {
    if (p.section < 0 || p.section >= int64_t(tops_.size()) || p.row < 0 || p.row >= counts_[size_t(p.section)])
        return {};
    const auto& t = tops_[size_t(p.section)];
    return {0, t[size_t(p.row)], bounds().width(), t[size_t(p.row) + 1] - t[size_t(p.row)]};
}

void TableView::enqueue(const std::shared_ptr<TableViewCell>& cell) {
    cell->removeFromSuperview();
    if (!cell->reuseIdentifier().empty()) queue_[cell->reuseIdentifier()].push_back(cell);
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCellWithIdentifier(const std::string& identifier) {
    auto it = queue_.find(identifier);
    if (it == queue_.end() || it->second.empty()) return nullptr;
    auto cell = it->second.back();
    it->second.pop_back();
    cell->prepareForReuse();
    return cell;
}

size_t TableView::reuseQueueSize(const std::string& identifier) const {
    auto it = queue_.find(identifier);
    return it == queue_.end() ? 0 : it->second.size();
}

std::shared_ptr<TableViewCell> TableView::makeCell(const IndexPath& path) {
    auto cell = dataSource_->cellForRowAtIndexPath(*this, path);
    if (!cell)
        foundation::Exception::raise(foundation::kInternalInconsistencyException,
                                     "UITableView dataSource must return a cell from tableView:cellForRowAtIndexPath:");
    cell->setFrame(rectForRowAtIndexPath(path));
    cell->setAutoresizingMask(kAutoresizingFlexibleWidth);
    cell->setSelected(selected_ && *selected_ == path);
    if (delegate_) delegate_->willDisplayCell(*this, *cell, path);
    insertSubview(cell, 0);
    cell->layoutIfNeeded();
    return cell;
}

void TableView::tile() {
    if (tiling_) return;
    tiling_ = true;
    if (!loaded_) measure();
    const Rect b = bounds();
    // Give back the cells that left the view.
    for (auto it = visible_.begin(); it != visible_.end();) {
        Rect r = rectForRowAtIndexPath(it->first);
        if (r.isEmpty() || !r.intersects(b)) {
            enqueue(it->second);
            it = visible_.erase(it);
        } else {
            it->second->setFrame(r);
            ++it;
        }
    }
    if (dataSource_) {
        for (size_t s = 0; s < tops_.size(); ++s) {
            const auto& t = tops_[s];
            // The first row that ends below the top of the view.
            auto first = std::upper_bound(t.begin(), t.end() - 1, b.minY());
            size_t r = first == t.begin() ? 0 : size_t(first - t.begin()) - 1;
            for (; r < size_t(counts_[s]) && t[r] < b.maxY(); ++r) {
                IndexPath p{int64_t(s), int64_t(r)};
                if (t[r + 1] <= b.minY() || visible_.count(p)) continue;
                visible_[p] = makeCell(p);
            }
        }
    }
    tiling_ = false;
}

void TableView::reloadData() {
    for (auto& [p, cell] : visible_) enqueue(cell);
    visible_.clear();
    selected_.reset();
    measure();
    setContentOffset(clampedOffset(contentOffset()));
    tile();
}

void TableView::checkPath(const IndexPath& p, const char* verb) const {
    if (p.section < 0 || p.section >= int64_t(counts_.size()))
        foundation::Exception::raise(foundation::kInternalInconsistencyException,
                                     std::string("attempt to ") + verb + " row " + std::to_string(p.row) +
                                         " from section " + std::to_string(p.section) + ", but there are only " +
                                         std::to_string(counts_.size()) + " sections before the update");
    if (p.row < 0 || p.row >= counts_[size_t(p.section)])
        foundation::Exception::raise(foundation::kInternalInconsistencyException,
                                     std::string("attempt to ") + verb + " row " + std::to_string(p.row) +
                                         " from section " + std::to_string(p.section) + " which only contains " +
                                         std::to_string(counts_[size_t(p.section)]) + " rows before the update");
}

void TableView::reloadRowsAtIndexPaths(const std::vector<IndexPath>& paths, TableViewRowAnimation) {
    if (!loaded_) measure();
    if (!dataSource_) return;
    const int64_t sections = dataSource_->numberOfSectionsInTableView(*this);
    if (sections != int64_t(counts_.size()))
        foundation::Exception::raise(
            foundation::kInternalInconsistencyException,
            "Invalid update: invalid number of sections.  The number of sections contained in the table view after "
            "the update (" +
                std::to_string(sections) +
                ") must be equal to the number of sections contained in the "
                "table view before the update (" +
                std::to_string(counts_.size()) +
                "), plus or minus the number of sections inserted or deleted (0 inserted, 0 deleted).");
    for (int64_t s = 0; s < sections; ++s) {
        const int64_t now = dataSource_->numberOfRowsInSection(*this, s);
        if (now != counts_[size_t(s)])
            foundation::Exception::raise(
                foundation::kInternalInconsistencyException,
                "Invalid update: invalid number of rows in section " + std::to_string(s) +
                    ".  The number of rows contained in an existing section after the update (" + std::to_string(now) +
                    ") must be equal to the number of rows contained in that section before the update (" +
                    std::to_string(counts_[size_t(s)]) +
                    "), plus or minus the number of rows inserted or deleted from that section (0 inserted, 0 "
                    "deleted) and plus or minus the number of rows moved into or out of that section (0 moved in, 0 "
                    "moved out).");
    }
    for (const auto& p : paths) checkPath(p, "reload");
    // Heights may have changed with the contents.
    measure();
    for (const auto& p : paths) {
        auto it = visible_.find(p);
        if (it == visible_.end()) continue;
        enqueue(it->second);
        visible_.erase(it);
    }
    tile();
}

std::shared_ptr<TableViewCell> TableView::cellForRowAtIndexPath(const IndexPath& path) const {
    auto it = visible_.find(path);
    return it == visible_.end() ? nullptr : it->second;
}

std::optional<IndexPath> TableView::indexPathForCell(const TableViewCell* cell) const {
    for (const auto& [p, c] : visible_)
        if (c.get() == cell) return p;
    return std::nullopt;
}

std::optional<IndexPath> TableView::indexPathForRowAtPoint(Point pt) const {
    for (size_t s = 0; s < tops_.size(); ++s)
        for (size_t r = 0; r < size_t(counts_[s]); ++r)
            if (pt.y >= tops_[s][r] && pt.y < tops_[s][r + 1]) return IndexPath{int64_t(s), int64_t(r)};
    return std::nullopt;
}

std::vector<std::shared_ptr<TableViewCell>> TableView::visibleCells() const {
    std::vector<std::shared_ptr<TableViewCell>> v;
    for (const auto& [p, c] : visible_) v.push_back(c);
    return v;
}

std::vector<IndexPath> TableView::indexPathsForVisibleRows() const {
    std::vector<IndexPath> v;
    for (const auto& [p, c] : visible_) v.push_back(p);
    return v;
}

void TableView::selectRowAtIndexPath(const IndexPath& path, bool animated, TableViewScrollPosition position) {
    if (selected_)
        if (auto c = cellForRowAtIndexPath(*selected_)) c->setSelected(false, animated);
    selected_ = path;
    if (auto c = cellForRowAtIndexPath(path)) c->setSelected(true, animated);
    if (position != TableViewScrollPosition::None) scrollToRowAtIndexPath(path, position, animated);
}

void TableView::deselectRowAtIndexPath(const IndexPath& path, bool animated) {
    if (selected_ && *selected_ == path) selected_.reset();
    if (auto c = cellForRowAtIndexPath(path)) c->setSelected(false, animated);
}

void TableView::scrollToRowAtIndexPath(const IndexPath& path, TableViewScrollPosition position, bool animated) {
    const Rect r = rectForRowAtIndexPath(path);
    const double h = bounds().height();
    double y = contentOffset().y;
    switch (position) {
    case TableViewScrollPosition::Top: y = r.minY(); break;
    case TableViewScrollPosition::Middle: y = r.midY() - h / 2; break;
    case TableViewScrollPosition::Bottom: y = r.maxY() - h; break;
    case TableViewScrollPosition::None:
        if (r.minY() < y)
            y = r.minY();
        else if (r.maxY() > y + h)
            y = r.maxY() - h;
        break;
    }
    setContentOffset(clampedOffset({contentOffset().x, y}), animated);
}

void TableView::setBounds(const Rect& r) {
    ScrollView::setBounds(r);
    tile();
}

void TableView::setFrame(const Rect& r) {
    const double oldWidth = bounds().width();
    ScrollView::setFrame(r);
    if (loaded_ && bounds().width() != oldWidth) loaded_ = false;  // heights may depend on the width
    tile();
}

void TableView::layoutSubviews() {
    ScrollView::layoutSubviews();
    tile();
}

void TableView::touchesBegan(const TouchSet& touches, const Event*) {
    if (touches.empty()) return;
    touched_ = indexPathForRowAtPoint(touches.front()->locationInView(this));
    if (touched_)
        if (auto c = cellForRowAtIndexPath(*touched_)) c->setHighlighted(true);
}

void TableView::touchesEnded(const TouchSet& touches, const Event*) {
    if (!touched_ || touches.empty()) return;
    auto path = *touched_;
    touched_.reset();
    if (auto c = cellForRowAtIndexPath(path)) c->setHighlighted(false);
    if (indexPathForRowAtPoint(touches.front()->locationInView(this)) != path) return;
    selectRowAtIndexPath(path, false, TableViewScrollPosition::None);
    if (delegate_) delegate_->didSelectRowAtIndexPath(*this, path);
}

void TableView::touchesCancelled(const TouchSet&, const Event*) {
    if (touched_)
        if (auto c = cellForRowAtIndexPath(*touched_)) c->setHighlighted(false);
    touched_.reset();
}

}  // namespace platform::ui
