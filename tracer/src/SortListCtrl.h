#pragma once
// The trace viewer's sortable report list over a list control of the dialog model: columns from a
// heading text, rows with a copy of their texts and colours, and sorting by a clicked column.

#include <string>
#include <vector>

#include "ui/Dialog.h"

class SortListCtrl {
public:
    SortListCtrl(ui::Dialog& dialog, int id);

    // Builds the columns from "name,width;name,width;...". False when a column cannot be made;
    // columns already made stay.
    bool SetHeadings(const std::string& headings);
    // Appends a row at the end (also when the list is sorted); returns its index.
    int AddItem(const std::vector<std::string>& texts);
    void DeleteAllItems();
    int GetItemCount() const;
    // A header click: a new column sorts ascending, the current one changes direction.
    void OnColumnClick(int column);
    void SortColumn(int column, bool ascending);
    int SortedColumn() const { return sortColumn_; }
    bool Ascending() const { return ascending_; }
    // The system colours changed: rows added from now on take these.
    void SetDefaultColours(ui::Colour text, ui::Colour background);

    // Orders two cell texts: the kind of comparison follows the first text. All digits (an empty
    // text too): as numbers; "dd/mm/yyyy": as dates, year first; else the locale's case-sensitive
    // order. Negative, zero or positive.
    static int CompareListItems(const std::string& first, const std::string& second);

private:
    ui::Dialog& dialog_;
    const int id_;
    int columns_ = 0;
    int sortColumn_ = -1;
    bool ascending_ = true;
    ui::Colour textColour_ = 0x000000;
    ui::Colour backColour_ = 0xFFFFFF;
};
