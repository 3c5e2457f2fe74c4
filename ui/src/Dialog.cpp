#include "ui/Dialog.h"

#include <algorithm>

namespace ui {

Dialog::Dialog(DialogSpec def) : spec_(std::move(def)) {
    for (const ControlSpec& c : spec_.controls) {
        if (c.id == 0) continue;
        Control control;
        control.def = c;
        control.text = c.text;
        control.enabled = (c.flags & kDisabled) == 0;
        control.visible = (c.flags & kHidden) == 0;
        controls_[c.id] = std::move(control);
    }
}

Dialog::Control* Dialog::Find(int id) {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : &it->second;
}

const Dialog::Control* Dialog::Find(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : &it->second;
}

bool Dialog::Has(int id) const {
    std::lock_guard lock(mutex_);
    return Find(id) != nullptr;
}

bool Dialog::MarkLocked(int id) {
    dirty_.insert(id);
    if (wakePending_ || !wake_) return false;
    wakePending_ = true;
    return true;
}

void Dialog::Wake(bool needed) {
    if (!needed) return;
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        wake = wake_;
    }
    if (wake) wake();
}

void Dialog::SetWake(std::function<void()> wake) {
    bool needed;
    {
        std::lock_guard lock(mutex_);
        wake_ = std::move(wake);
        wakePending_ = false;
        needed = !dirty_.empty() && wake_ && (wakePending_ = true);
    }
    Wake(needed);
}

std::set<int> Dialog::TakeDirty() {
    std::lock_guard lock(mutex_);
    std::set<int> taken;
    taken.swap(dirty_);
    wakePending_ = false;
    return taken;
}

std::string Dialog::Text(int id) const {
    std::lock_guard lock(mutex_);
    const Control* c = Find(id);
    return c ? c->text : std::string();
}

void Dialog::SetText(int id, const std::string& text) {
    bool needed = false;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || c->text == text) return;
        c->text = text;
        needed = MarkLocked(id);
    }
    Wake(needed);
}

void Dialog::TextFromView(int id, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (Control* c = Find(id)) c->text = text;
}

bool Dialog::Enabled(int id) const {
    std::lock_guard lock(mutex_);
    const Control* c = Find(id);
    return c && c->enabled;
}

void Dialog::Enable(int id, bool enabled) {
    bool needed = false;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || c->enabled == enabled) return;
        c->enabled = enabled;
        needed = MarkLocked(id);
    }
    Wake(needed);
}

bool Dialog::Visible(int id) const {
    std::lock_guard lock(mutex_);
    const Control* c = Find(id);
    return c && c->visible;
}

void Dialog::Show(int id, bool visible) {
    bool needed = false;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || c->visible == visible) return;
        c->visible = visible;
        needed = MarkLocked(id);
    }
    Wake(needed);
}

bool Dialog::Checked(int id) const {
    std::lock_guard lock(mutex_);
    const Control* c = Find(id);
    return c && c->checked;
}

void Dialog::SetChecked(int id, bool checked) {
    bool needed = false;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || c->checked == checked) return;
        c->checked = checked;
        needed = MarkLocked(id);
    }
    Wake(needed);
}

void Dialog::CheckedFromView(int id, bool checked) {
    std::lock_guard lock(mutex_);
    if (Control* c = Find(id)) c->checked = checked;
}

void Dialog::OnClick(int id, std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    if (Control* c = Find(id)) c->click = std::move(handler);
}

bool Dialog::Click(int id) {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || !c->enabled || !(c->visible || (c->def.flags & kDefault))) return false;
        handler = c->click;
    }
    if (!handler) return false;
    handler();
    return true;
}

void Dialog::OnColumnClick(int id, std::function<void(int)> handler) {
    std::lock_guard lock(mutex_);
    if (Control* c = Find(id)) c->columnClick = std::move(handler);
}

bool Dialog::ColumnClick(int id, int column) {
    std::function<void(int)> handler;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || column < 0 || column >= static_cast<int>(c->list.columns.size())) return false;
        handler = c->columnClick;
    }
    if (!handler) return false;
    handler(column);
    return true;
}

void Dialog::OnSystemCommand(std::function<void(int)> handler) {
    std::lock_guard lock(mutex_);
    systemCommand_ = std::move(handler);
}

void Dialog::SystemCommand(int command) {
    std::function<void(int)> handler;
    {
        std::lock_guard lock(mutex_);
        handler = systemCommand_;
    }
    if (handler) handler(command);
}

void Dialog::Cancel() { EndDialog(2); }

void Dialog::EndDialog(int result) {
    bool needed = false;
    {
        std::lock_guard lock(mutex_);
        if (ended_ != -1) return;
        ended_ = result;
        needed = MarkLocked(0);
    }
    Wake(needed);
}

int Dialog::EndedWith() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

// --- lists ----------------------------------------------------------------------------------------

bool Dialog::AddColumn(int id, const std::string& name, int width) {
    bool needed = false;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || c->def.kind != ControlKind::List) return false;
        c->list.columns.push_back({name, width});
        ++c->list.generation;
        needed = MarkLocked(id);
    }
    Wake(needed);
    return true;
}

int Dialog::ColumnCount(int id) const {
    std::lock_guard lock(mutex_);
    const Control* c = Find(id);
    return c ? static_cast<int>(c->list.columns.size()) : 0;
}

int Dialog::AppendRow(int id, ListRow row) {
    bool needed = false;
    int index;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || c->def.kind != ControlKind::List) return -1;
        row.serial = c->nextSerial++;
        c->list.rows.push_back(std::move(row));
        index = static_cast<int>(c->list.rows.size()) - 1;
        needed = MarkLocked(id);
    }
    Wake(needed);
    return index;
}

void Dialog::DeleteAllRows(int id) {
    bool needed = false;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || c->def.kind != ControlKind::List) return;
        c->list.rows.clear();
        c->list.rows.shrink_to_fit();
        ++c->list.generation;
        needed = MarkLocked(id);
    }
    Wake(needed);
}

int Dialog::RowCount(int id) const {
    std::lock_guard lock(mutex_);
    const Control* c = Find(id);
    return c ? static_cast<int>(c->list.rows.size()) : 0;
}

std::vector<ListRow> Dialog::Rows(int id) const {
    std::lock_guard lock(mutex_);
    const Control* c = Find(id);
    return c ? c->list.rows : std::vector<ListRow>();
}

void Dialog::SortRows(int id, int column, bool ascending,
                      const std::function<bool(const ListRow&, const ListRow&)>& before) {
    bool needed = false;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || c->def.kind != ControlKind::List) return;
        c->list.sortColumn = column;
        c->list.ascending = ascending;
        // A merge sort only ever compares and moves: an order that is not consistent leaves the
        // rows in some order, never out of bounds.
        std::vector<ListRow>& rows = c->list.rows;
        std::vector<ListRow> buffer(rows.size());
        for (size_t width = 1; width < rows.size(); width *= 2) {
            for (size_t lo = 0; lo < rows.size(); lo += 2 * width) {
                size_t mid = std::min(lo + width, rows.size()), hi = std::min(lo + 2 * width, rows.size());
                size_t a = lo, b = mid, out = lo;
                while (a < mid && b < hi) buffer[out++] = before(rows[b], rows[a]) ? std::move(rows[b++]) : std::move(rows[a++]);
                while (a < mid) buffer[out++] = std::move(rows[a++]);
                while (b < hi) buffer[out++] = std::move(rows[b++]);
            }
            rows.swap(buffer);
        }
        ++c->list.generation;
        needed = MarkLocked(id);
    }
    Wake(needed);
}

ListSnapshot Dialog::List(int id) const {
    std::lock_guard lock(mutex_);
    const Control* c = Find(id);
    return c ? c->list : ListSnapshot();
}

ListSnapshot Dialog::ListFrom(int id, size_t firstRow) const {
    std::lock_guard lock(mutex_);
    const Control* c = Find(id);
    if (!c) return ListSnapshot();
    ListSnapshot snapshot;
    snapshot.columns = c->list.columns;
    snapshot.sortColumn = c->list.sortColumn;
    snapshot.ascending = c->list.ascending;
    snapshot.generation = c->list.generation;
    if (firstRow < c->list.rows.size()) {
        snapshot.rows.assign(c->list.rows.begin() + static_cast<long>(firstRow), c->list.rows.end());
    }
    return snapshot;
}

void Dialog::DropOldestRows(int id, size_t count) {
    bool needed = false;
    {
        std::lock_guard lock(mutex_);
        Control* c = Find(id);
        if (!c || c->def.kind != ControlKind::List || count == 0) return;
        std::vector<ListRow>& rows = c->list.rows;
        if (count >= rows.size()) {
            rows.clear();
        } else {
            std::vector<uint64_t> serials;
            serials.reserve(rows.size());
            for (const ListRow& r : rows) serials.push_back(r.serial);
            std::nth_element(serials.begin(), serials.begin() + static_cast<long>(count), serials.end());
            const uint64_t keepFrom = serials[count];
            std::erase_if(rows, [keepFrom](const ListRow& r) { return r.serial < keepFrom; });
        }
        ++c->list.generation;
        needed = MarkLocked(id);
    }
    Wake(needed);
}

}  // namespace ui
