#pragma once
// The trace viewer's main dialog: a reader thread owns the trace slot and shows each record the
// capture libraries send as a row of the list, through the message filter; the list can be
// stopped, cleared, sorted and saved. Rows are appended to the dialog model by the reader and
// shown by the view on its own thread.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "SortListCtrl.h"
#include "ui/Dialog.h"
#include "ui/MessageBoxes.h"
#include "zarn/TraceRecord.h"

enum TraceControl : int {
    IDC_TRACE_OK = 1,
    IDC_TRACE_EXIT = 2,
    IDC_TRACE_LIST = 1000,
    IDC_TRACE_CLEAR = 1001,
    IDC_TRACE_SAVE = 1002,
    IDC_TRACE_STOP = 1003,
    IDC_TRACE_FILTER = 1004,
};

// System-menu command of the About box.
inline constexpr int IDM_ABOUTBOX = 16;
// Check boxes of the filter dialog: sources 0..7, levels 0..5, and its buttons.
inline constexpr int IDC_FILTER_SOURCE_FIRST = 1010;
inline constexpr int IDC_FILTER_LEVEL_FIRST = 1003;
inline constexpr int IDC_FILTER_SET = 1;
inline constexpr int IDC_FILTER_CANCEL = 2;

inline constexpr const char* kTraceHeadings = "Date,70;Time,80;Source,100;Level,80;Message,600";
inline constexpr size_t kTraceRecordSize = sizeof(TraceRecord);
// The list keeps at most this many rows; beyond it the oldest tenth goes.
inline constexpr size_t kMaxTraceRows = 100000;

// Names of the sources 0..7 and the levels 0..5 in the list.
const char* TraceSourceName(unsigned source);
const char* TraceLevelName(unsigned level);

ui::DialogSpec TraceDialogSpec();
ui::DialogSpec MsgFilterDialogSpec();
ui::DialogSpec AboutDialogSpec();

class CZarnTraceDlg : public ui::Dialog {
public:
    // Runs another dialog (the filter, the About box) modally and returns its result.
    using RunModal = std::function<int(ui::Dialog&)>;
    // Asks for the file to save to; empty when cancelled.
    using AskSavePath = std::function<std::string()>;

    CZarnTraceDlg(ui::MessageBoxes& boxes, RunModal runModal, AskSavePath askSavePath,
                  std::string slotName = {});
    ~CZarnTraceDlg() override;

    // Set-up: the columns, the reader thread (on the slot given, else the trace slot) and the
    // initial filter.
    void OnInitDialog();
    // Stops the reader and waits for it. Also run by the destructor.
    void OnDestroy();

    // The bytes of one slot message. -1 for a record that is dropped (bad magic, source above 7),
    // 0 otherwise (shown, or hidden by the filter).
    int AddTraceRecord(const uint8_t* bytes);

    void OnBnClickedStop();
    void OnBnClickedClear();
    void OnBnClickedSave();
    void OnBnClickedMsgFilter();
    void OnSysCommand(int id);

    SortListCtrl& ListCtrl() { return list_; }
    bool Stopped() const { return stopped_.load() != 0; }
    // True while the reader owns the slot and reads it.
    bool Reading() const { return reading_.load(); }
    // Messages the reader has taken from the slot, shown or not.
    uint64_t MessagesRead() const { return messagesRead_.load(); }
    // True once the reader has ended (or never started).
    bool ReaderEnded() const { return readerEnded_.load(); }

    std::array<std::atomic<uint8_t>, 8> sourceFlags{};
    std::array<std::atomic<uint8_t>, 6> levelFlags{};

private:
    void ReadMailslotThread();

    ui::MessageBoxes& boxes_;
    RunModal runModal_;
    AskSavePath askSavePath_;
    const std::string slotName_;
    SortListCtrl list_;
    std::atomic<int> stopped_{0};
    std::atomic<bool> quit_{false};
    std::atomic<bool> reading_{false};
    std::atomic<bool> readerEnded_{true};
    std::atomic<uint64_t> messagesRead_{0};
    std::thread reader_;
};

// The message filter dialog over the main dialog's flags.
class MsgFilterDialog : public ui::Dialog {
public:
    explicit MsgFilterDialog(CZarnTraceDlg& main);
    void OnInitDialog();
    void OnOK();

private:
    CZarnTraceDlg& main_;
};
