#pragma once
// A dialog as data: its controls by id (kind, text, enable state, check state, place in dialog
// units), the handlers of their clicks, and the report lists. The programs' logic reads and writes
// controls here from any thread; a view shows them. Every change marks its control dirty and wakes
// the view once, which then refreshes the dirty controls on its own (UI) thread: nothing here ever
// waits for the view, and the pending work is bounded by the number of controls.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ui {

enum class ControlKind { Button, Edit, Static, Label, GroupBox, CheckBox, List };

// Flags of a control in its template.
enum ControlFlags : unsigned {
    kDisabled = 1u << 0,  // starts disabled
    kNumber = 1u << 1,    // edit that takes digits only
    kCentred = 1u << 2,   // static text centred
    kHidden = 1u << 3,    // not shown
    kDefault = 1u << 4,   // default button (Enter)
};

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;  // dialog units
};

// One control of a template. Labels and group boxes carry id 0 and are not addressable.
struct ControlSpec {
    int id;
    ControlKind kind;
    std::string text;
    Rect place;
    unsigned flags = 0;
};

// An extra item of the window's system menu.
struct MenuItem {
    int command;
    std::string text;
};

struct DialogSpec {
    std::string caption;
    int width = 0, height = 0;  // dialog units
    std::string font;
    int fontSize = 8;
    std::vector<ControlSpec> controls;
    std::vector<MenuItem> systemMenu;
};

// Colours as 0xRRGGBB.
using Colour = uint32_t;

// A row of a report list: one text per column, with the colours of each cell.
struct ListRow {
    std::vector<std::string> texts;
    std::vector<Colour> textColours;
    std::vector<Colour> backColours;
    uint64_t serial = 0;  // order of arrival
};

struct ListColumn {
    std::string name;
    int width = 0;  // pixels
};

// What a view needs to show a list.
struct ListSnapshot {
    std::vector<ListColumn> columns;
    std::vector<ListRow> rows;
    int sortColumn = -1;
    bool ascending = true;
    uint64_t generation = 0;  // changes whenever rows are removed or reordered
};

class Dialog {
public:
    explicit Dialog(DialogSpec def);
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;
    virtual ~Dialog() = default;

    const DialogSpec& Spec() const { return spec_; }
    bool Has(int id) const;

    // Control state. Unknown ids read as empty / false and ignore writes.
    std::string Text(int id) const;
    void SetText(int id, const std::string& text);
    bool Enabled(int id) const;
    void Enable(int id, bool enabled);
    bool Visible(int id) const;
    void Show(int id, bool visible);
    bool Checked(int id) const;
    void SetChecked(int id, bool checked);

    // Input typed or ticked in the view: changes the state without marking it dirty.
    void TextFromView(int id, const std::string& text);
    void CheckedFromView(int id, bool checked);

    // Handlers. Click runs the button's handler when the control exists, is enabled and visible
    // or is the default button (Enter); returns whether a handler ran. On the UI thread.
    void OnClick(int id, std::function<void()> handler);
    bool Click(int id);
    void OnColumnClick(int id, std::function<void(int column)> handler);
    bool ColumnClick(int id, int column);

    // A command of the window's system menu (its extra items); on the UI thread.
    void OnSystemCommand(std::function<void(int command)> handler);
    void SystemCommand(int command);

    // Esc or the window's close box: ends the dialog with 2 (Cancel).
    void Cancel();
    // Ending the dialog: the result is kept and the view closes. EndedWith is -1 while running.
    void EndDialog(int result);
    int EndedWith() const;

    // Report lists (controls of kind List).
    bool AddColumn(int id, const std::string& name, int width);
    int ColumnCount(int id) const;
    // Appends a row at the end; returns its index, -1 for an unknown list.
    int AppendRow(int id, ListRow row);
    void DeleteAllRows(int id);
    int RowCount(int id) const;
    std::vector<ListRow> Rows(int id) const;
    // Reorders the rows with `before` (a stable sort that tolerates an inconsistent order) and
    // records the sort column and order the header shows.
    void SortRows(int id, int column, bool ascending,
                  const std::function<bool(const ListRow&, const ListRow&)>& before);
    ListSnapshot List(int id) const;
    // Columns, order and generation, with the rows from `firstRow` on only.
    ListSnapshot ListFrom(int id, size_t firstRow) const;
    // Removes the `count` oldest rows (by arrival).
    void DropOldestRows(int id, size_t count);

    // The view's side: `wake` is called (with no lock held, from the changing thread) when the
    // first control becomes dirty after a TakeDirty; the view then calls TakeDirty on its thread.
    // Id 0 in the dirty set means the dialog ended.
    void SetWake(std::function<void()> wake);
    std::set<int> TakeDirty();

private:
    struct Control {
        ControlSpec def;
        std::string text;
        bool enabled = true;
        bool visible = true;
        bool checked = false;
        std::function<void()> click;
        std::function<void(int)> columnClick;
        ListSnapshot list;
        uint64_t nextSerial = 0;
    };

    Control* Find(int id);
    const Control* Find(int id) const;
    // Marks `id` dirty with the lock held; true when the view must be woken.
    bool MarkLocked(int id);
    void Wake(bool needed);

    const DialogSpec spec_;
    mutable std::mutex mutex_;
    std::map<int, Control> controls_;
    std::set<int> dirty_;
    bool wakePending_ = false;
    std::function<void()> wake_;
    std::function<void(int)> systemCommand_;
    int ended_ = -1;
};

}  // namespace ui
