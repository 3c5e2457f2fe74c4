#include "SortListCtrl.h"

#include <cstdlib>
#include <cstring>

SortListCtrl::SortListCtrl(ui::Dialog& dialog, int id) : dialog_(dialog), id_(id) {}

bool SortListCtrl::SetHeadings(const std::string& headings) {
    columns_ = 0;
    size_t at = 0;
    while (at < headings.size()) {
        const size_t comma = headings.find(',', at);
        if (comma == std::string::npos) break;
        const std::string name = headings.substr(at, comma - at);
        size_t end = headings.find(';', comma + 1);
        if (end == std::string::npos) end = headings.size();
        const int width = std::atoi(headings.substr(comma + 1, end - comma - 1).c_str());
        if (!dialog_.AddColumn(id_, name, width)) return false;
        ++columns_;
        at = end + 1;
    }
    return true;
}

int SortListCtrl::AddItem(const std::vector<std::string>& texts) {
    ui::ListRow row;
    row.texts = texts;
    row.texts.resize(static_cast<size_t>(columns_));
    row.textColours.assign(row.texts.size(), textColour_);
    row.backColours.assign(row.texts.size(), backColour_);
    return dialog_.AppendRow(id_, std::move(row));
}

void SortListCtrl::DeleteAllItems() { dialog_.DeleteAllRows(id_); }

int SortListCtrl::GetItemCount() const { return dialog_.RowCount(id_); }

void SortListCtrl::SetDefaultColours(ui::Colour text, ui::Colour background) {
    textColour_ = text;
    backColour_ = background;
}

void SortListCtrl::OnColumnClick(int column) {
    SortColumn(column, column == sortColumn_ ? !ascending_ : true);
}

void SortListCtrl::SortColumn(int column, bool ascending) {
    sortColumn_ = column;
    ascending_ = ascending;
    const size_t c = static_cast<size_t>(column);
    dialog_.SortRows(id_, column, ascending, [c, ascending](const ui::ListRow& x, const ui::ListRow& y) {
        const std::string& a = c < x.texts.size() ? x.texts[c] : std::string();
        const std::string& b = c < y.texts.size() ? y.texts[c] : std::string();
        // Descending compares the same texts with their places changed.
        return (ascending ? CompareListItems(a, b) : CompareListItems(b, a)) < 0;
    });
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(const std::string& text) {
    for (char c : text) {
        if (!IsDigit(c)) return false;
    }
    return true;
}

bool IsDate(const std::string& text) {
    if (text.size() != 10 || text[2] != '/' || text[5] != '/') return false;
    for (int i : {0, 1, 3, 4, 6, 7, 8, 9}) {
        if (!IsDigit(text[static_cast<size_t>(i)])) return false;
    }
    return true;
}

// The number the text starts with, as its digits without leading zeros ("" for 0 or none).
std::string LeadingNumber(const std::string& text) {
    size_t end = 0;
    while (end < text.size() && IsDigit(text[end])) ++end;
    size_t start = 0;
    while (start < end && text[start] == '0') ++start;
    return text.substr(start, end - start);
}

int Sign(int value) { return value < 0 ? -1 : value > 0 ? 1 : 0; }

// A part of a date as a number; 0 when the text is too short to hold it.
int DatePart(const std::string& text, size_t at, size_t length) {
    if (text.size() < at + length) return 0;
    int value = 0;
    for (size_t i = at; i < at + length; ++i) value = IsDigit(text[i]) ? value * 10 + (text[i] - '0') : value;
    return value;
}

}  // namespace

int SortListCtrl::CompareListItems(const std::string& first, const std::string& second) {
    if (AllDigits(first)) {
        // Compared as numbers of any length: by digit count, then digit by digit.
        const std::string a = LeadingNumber(first), b = LeadingNumber(second);
        if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
        return Sign(a.compare(b));
    }
    if (IsDate(first)) {
        for (const auto& [at, length] : {std::pair<size_t, size_t>{6, 4}, {3, 2}, {0, 2}}) {
            const int a = DatePart(first, at, length), b = DatePart(second, at, length);
            if (a != b) return a < b ? -1 : 1;
        }
        return 0;
    }
    return Sign(std::strcoll(first.c_str(), second.c_str()));
}
