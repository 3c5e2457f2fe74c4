// Defective sensor lines: a whole row or column darker than both neighbours is found once and then
// repaired in every frame from its neighbours.

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

#include "LiveScanAlgInternal.h"

namespace LiveScanAlg {

int CreateDefectLine(DefectLineList** list) {
  if (IsMissing(list)) return LSA_INVALID_POINTER;
  if (!IsMissing(*list)) return LSA_PASSED;
  auto* l = static_cast<DefectLineList*>(std::calloc(1, sizeof(DefectLineList)));
  if (!l) return LSA_NO_MEMORY;
  l->capacity = kDefectLineCapacity;
  l->count = 0;
  l->entries = static_cast<DefectLineEntry*>(std::calloc(kDefectLineCapacity,
                                                         sizeof(DefectLineEntry)));
  if (!l->entries) {
    std::free(l);
    return LSA_NO_MEMORY;
  }
  *list = l;
  return LSA_PASSED;
}

void DestroyDefectLine(void** list) {
  if (IsMissing(list) || IsMissing(*list)) return;
  auto* l = static_cast<DefectLineList*>(*list);
  std::free(l->entries);
  std::free(l);
  *list = nullptr;
}

namespace {

constexpr int kDefectStep = 15;  // levels darker than a neighbour that make a pixel count

// Appends an entry; false when the list is full.
bool Append(DefectLineList* list, int column, int row) {
  if (list->count >= list->capacity) return false;
  list->entries[list->count].column = column;
  list->entries[list->count].row = row;
  ++list->count;
  return true;
}

}  // namespace

int ScanDefectedLines1(unsigned char* image, int rows, int columns, void** list) {
  if (rows < 1) return LSA_INVALID_INPUT1;
  if (columns < 1) return LSA_INVALID_INPUT2;
  if (IsMissing(image)) return LSA_INVALID_INPUT3;
  if (IsMissing(list)) return LSA_INVALID_POINTER;
  if (IsMissing(*list)) *list = nullptr;
  auto** typed = reinterpret_cast<DefectLineList**>(list);
  const int created = CreateDefectLine(typed);
  if (created != LSA_PASSED) return created;
  DefectLineList* l = *typed;
  l->count = 0;

  std::vector<int> flags;
  try {
    flags.assign(static_cast<std::size_t>(rows > columns ? rows : columns), 0);
  } catch (const std::bad_alloc&) {
    return LSA_NO_MEMORY;
  }
  const auto at = [&](int r, int c) {
    return static_cast<int>(image[static_cast<std::size_t>(r) * columns + c]);
  };

  // Rows: pixels at least 15 levels darker than the pixel above, plus those darker than the one
  // below, must exceed the row length (2 x columns x 0.5).
  const float rowLimit = 2.0f * static_cast<float>(columns) * 0.5f;
  for (int r = 1; r <= rows - 2; ++r) {
    long long above = 0, below = 0;
    for (int c = 0; c < columns; ++c) {
      const int v = at(r, c);
      if (at(r - 1, c) - v >= kDefectStep) ++above;
      if (at(r + 1, c) - v >= kDefectStep) ++below;
    }
    if (static_cast<float>(above + below) > rowLimit) flags[static_cast<std::size_t>(r)] = 1;
  }
  for (int r = 1; r <= rows - 2; ++r) {
    if (flags[static_cast<std::size_t>(r)] && !flags[static_cast<std::size_t>(r - 1)] &&
        !flags[static_cast<std::size_t>(r + 1)]) {
      if (!Append(l, 0, r)) return LSA_DEFECT_LIST_FULL;
    }
  }

  std::fill(flags.begin(), flags.end(), 0);
  const float columnLimit = 2.0f * static_cast<float>(rows) * 0.5f;
  for (int c = 1; c <= columns - 2; ++c) {
    long long left = 0, right = 0;
    for (int r = 0; r < rows; ++r) {
      const int v = at(r, c);
      if (at(r, c - 1) - v >= kDefectStep) ++left;
      if (at(r, c + 1) - v >= kDefectStep) ++right;
    }
    if (static_cast<float>(left + right) > columnLimit) flags[static_cast<std::size_t>(c)] = 1;
  }
  for (int c = 1; c <= columns - 2; ++c) {
    if (flags[static_cast<std::size_t>(c)] && !flags[static_cast<std::size_t>(c - 1)] &&
        !flags[static_cast<std::size_t>(c + 1)]) {
      if (!Append(l, c, 0)) return LSA_DEFECT_LIST_FULL;
    }
  }
  return LSA_PASSED;
}

int ScanDefectedLines(unsigned char* image, int rows, int columns) {
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_NO_MEMORY;
  void* list = p->DefectLine;
  const int result = ScanDefectedLines1(image, rows, columns, &list);
  p->DefectLine = static_cast<DefectLineList*>(list);
  return result;
}

void AmendDefectedLines1(unsigned char* image, int rows, int columns, void* list) {
  if (IsMissing(image) || IsMissing(list) || rows < 1 || columns < 1) return;
  const auto* l = static_cast<const DefectLineList*>(list);
  if (l->count <= 0 || IsMissing(l->entries)) return;
  const int count = l->count < l->capacity ? l->count : l->capacity;
  const std::size_t stride = static_cast<std::size_t>(columns);
  for (int i = 0; i < count; ++i) {
    const DefectLineEntry& e = l->entries[i];
    if (e.column != 0) {
      // A column needs a neighbour on each side; an entry from a larger image is skipped.
      const int c = e.column;
      if (c < 1 || c > columns - 2 || e.row < 0 || e.row >= rows) continue;
      for (int r = e.row; r < rows; ++r) {
        unsigned char* row = image + static_cast<std::size_t>(r) * stride;
        row[c] = static_cast<unsigned char>((row[c - 1] + row[c + 1]) >> 1);
      }
    } else {
      const int r = e.row;
      if (r < 1 || r > rows - 2) continue;
      unsigned char* row = image + static_cast<std::size_t>(r) * stride;
      const unsigned char* above = row - stride;
      const unsigned char* below = row + stride;
      for (int c = 0; c < columns; ++c) {
        row[c] = static_cast<unsigned char>((above[c] + below[c]) >> 1);
      }
    }
  }
}

void AmendDefectedLines(unsigned char* image, int rows, int columns) {
  StitchParameterType* p = GetParameter();
  if (!p) return;
  AmendDefectedLines1(image, rows, columns, p->DefectLine);
}

}  // namespace LiveScanAlg
