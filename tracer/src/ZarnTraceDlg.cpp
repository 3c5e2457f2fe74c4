#include "ZarnTraceDlg.h"

#include <cstdio>
#include <cstring>

#include "platform/Mailslot.h"
#include "platform/ThreadName.h"

using ui::ControlKind;

namespace {

constexpr const char* kSourceNames[8] = {"Firmeware",  "Driver",      "MorwenMosaic", "ZarnEssentialsApi",
                                         "DirectShow", "Pobrel_Zarn", "Quendix2",     "Varmolt"};
constexpr const char* kLevelNames[6] = {"ERRO", "WARN", "INFO", "DBG1", "DBG2", "DBG3"};

// A text field of a record up to its first NUL, never past the field.
std::string FieldText(const uint8_t* bytes, size_t size) {
    const void* nul = std::memchr(bytes, 0, size);
    const size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes) : size;
    return std::string(reinterpret_cast<const char*>(bytes), length);
}

// Reads of a larger message than a record are cut here and dropped; the reader goes on.
constexpr size_t kReadBufferSize = 256;
// How often a blocked read looks at the quit flag.
constexpr int kReadWaitMs = 200;

}  // namespace

const char* TraceSourceName(unsigned source) { return source < 8 ? kSourceNames[source] : ""; }
const char* TraceLevelName(unsigned level) { return level < 6 ? kLevelNames[level] : ""; }

ui::DialogSpec TraceDialogSpec() {
    ui::DialogSpec def;
    def.caption = "ZarnTrace";
    def.width = 568;
    def.height = 213;
    def.font = "MS Sans Serif";
    def.controls = {
        {IDC_TRACE_LIST, ControlKind::List, "", {7, 7, 554, 169}},
        {IDC_TRACE_STOP, ControlKind::Button, "Stop", {203, 185, 50, 14}},
        {IDC_TRACE_CLEAR, ControlKind::Button, "Clear", {258, 185, 50, 14}},
        {IDC_TRACE_SAVE, ControlKind::Button, "Save", {313, 185, 50, 14}},
        {IDC_TRACE_FILTER, ControlKind::Button, "Msg Filter", {369, 185, 50, 14}},
        {IDC_TRACE_EXIT, ControlKind::Button, "Exit", {503, 185, 50, 14}},
        {IDC_TRACE_OK, ControlKind::Button, "OK", {27, 185, 50, 14}, ui::kDefault | ui::kHidden},
    };
    def.systemMenu = {{IDM_ABOUTBOX, "&About ZarnTrace..."}};
    return def;
}

ui::DialogSpec MsgFilterDialogSpec() {
    ui::DialogSpec def;
    def.caption = "Set Message Filter";
    def.width = 233;
    def.height = 191;
    def.font = "MS Sans Serif";
    auto& c = def.controls;
    c.push_back({1009, ControlKind::Label, "Message Source:", {30, 15, 57, 15}});
    const char* sources[8] = {"Firmeware",  "Driver",      "MorwenMosaic", "ZarnEssentials",
                              "DirectShow", "Pobrel_Zarn", "Quendix2",     "Varmolt"};
    const int sourceWidths[8] = {48, 35, 56, 61, 53, 73, 66, 63};
    for (int i = 0; i < 8; ++i) {
        c.push_back({IDC_FILTER_SOURCE_FIRST + i, ControlKind::CheckBox, sources[i], {30, 33 + 17 * i, sourceWidths[i], 10}});
    }
    c.push_back({1002, ControlKind::Label, "Message Level:", {154, 15, 57, 15}});
    const int levelWidths[6] = {37, 39, 33, 35, 35, 35};
    for (int i = 0; i < 6; ++i) {
        c.push_back({IDC_FILTER_LEVEL_FIRST + i, ControlKind::CheckBox, kLevelNames[i], {154, 33 + 13 * i, levelWidths[i], 10}});
    }
    c.push_back({IDC_FILTER_SET, ControlKind::Button, "Set", {91, 170, 50, 14}, ui::kDefault});
    c.push_back({IDC_FILTER_CANCEL, ControlKind::Button, "Cancel", {143, 170, 50, 14}, ui::kHidden});
    return def;
}

ui::DialogSpec AboutDialogSpec() {
    ui::DialogSpec def;
    def.caption = "About ZarnTrace";
    def.width = 235;
    def.height = 55;
    def.font = "MS Sans Serif";
    def.controls = {
        {0, ControlKind::Label, "ZarnTrace Version 1.0", {40, 10, 119, 8}},
        {0, ControlKind::Label, "Trace records of the Tessik capture libraries", {40, 25, 160, 8}},
        {1, ControlKind::Button, "OK", {178, 7, 50, 14}, ui::kDefault},
    };
    return def;
}

// --- main dialog ---------------------------------------------------------------------------------

CZarnTraceDlg::CZarnTraceDlg(ui::MessageBoxes& boxes, RunModal runModal, AskSavePath askSavePath,
                             std::string slotName)
    : ui::Dialog(TraceDialogSpec()),
      boxes_(boxes),
      runModal_(std::move(runModal)),
      askSavePath_(std::move(askSavePath)),
      slotName_(slotName.empty() ? platform::TraceSlotName() : std::move(slotName)),
      list_(*this, IDC_TRACE_LIST) {
    OnClick(IDC_TRACE_STOP, [this] { OnBnClickedStop(); });
    OnClick(IDC_TRACE_CLEAR, [this] { OnBnClickedClear(); });
    OnClick(IDC_TRACE_SAVE, [this] { OnBnClickedSave(); });
    OnClick(IDC_TRACE_FILTER, [this] { OnBnClickedMsgFilter(); });
    OnClick(IDC_TRACE_EXIT, [this] { EndDialog(IDC_TRACE_EXIT); });
    OnClick(IDC_TRACE_OK, [this] { EndDialog(IDC_TRACE_OK); });
    OnColumnClick(IDC_TRACE_LIST, [this](int column) { list_.OnColumnClick(column); });
    OnSystemCommand([this](int id) { OnSysCommand(id); });
}

CZarnTraceDlg::~CZarnTraceDlg() { OnDestroy(); }

void CZarnTraceDlg::OnInitDialog() {
    list_.SetHeadings(kTraceHeadings);
    for (auto& flag : sourceFlags) flag.store(0);
    sourceFlags[3].store(1);
    for (auto& flag : levelFlags) flag.store(1);
    readerEnded_.store(false);
    try {
        reader_ = platform::StartNamedThread("mailslot-read", [this] { ReadMailslotThread(); });
    } catch (const std::system_error&) {
        readerEnded_.store(true);
        boxes_.Show({"", "Create Thread Failed!", ui::BoxButtons::Ok, ui::BoxIcon::None});
    }
}

void CZarnTraceDlg::OnDestroy() {
    quit_.store(true);
    if (reader_.joinable()) reader_.join();
}

void CZarnTraceDlg::ReadMailslotThread() {
    platform::MailslotReader slot(slotName_);
    // Another viewer owns the slot: this one shows nothing.
    if (!slot.IsOpen()) {
        readerEnded_.store(true);
        return;
    }
    reading_.store(true);
    uint8_t buffer[kReadBufferSize];
    while (!quit_.load()) {
        const platform::MailslotReader::ReadResult read = slot.Read(buffer, sizeof buffer, kReadWaitMs);
        if (read.status == platform::MailslotReader::Status::Closed) break;
        if (read.status != platform::MailslotReader::Status::Received) continue;
        ++messagesRead_;
        // Only a message of exactly one record's size is a record: a shorter one would show the
        // bytes of an earlier one, a longer one was cut.
        if (read.length != kTraceRecordSize) continue;
        if (stopped_.load() == 0) AddTraceRecord(buffer);
    }
    reading_.store(false);
    readerEnded_.store(true);
}

int CZarnTraceDlg::AddTraceRecord(const uint8_t* bytes) {
    TraceRecord record;
    std::memcpy(&record, bytes, sizeof record);
    if (std::memcmp(record.magic, kTraceMagic, sizeof kTraceMagic) != 0) return -1;
    const std::string date = FieldText(bytes + offsetof(TraceRecord, time), 10);
    const std::string time = FieldText(bytes + offsetof(TraceRecord, time) + 11, 12);
    const unsigned source = record.source;
    if (source > 7) return -1;
    if (sourceFlags[source].load() == 0) return 0;
    unsigned level = record.level;
    if (level > 5) level = 0;
    if (levelFlags[level].load() == 0) return 0;
    list_.AddItem({date, time, kSourceNames[source], kLevelNames[level],
                   FieldText(bytes + offsetof(TraceRecord, text), kTraceTextLength)});
    // The list is bounded: past its limit the oldest tenth of the rows goes.
    if (static_cast<size_t>(list_.GetItemCount()) > kMaxTraceRows) DropOldestRows(IDC_TRACE_LIST, kMaxTraceRows / 10);
    return 0;
}

void CZarnTraceDlg::OnBnClickedStop() {
    if (stopped_.load() == 0) {
        stopped_.store(1);
        SetText(IDC_TRACE_STOP, "Start");
    } else {
        stopped_.store(0);
        SetText(IDC_TRACE_STOP, "Stop");
    }
}

void CZarnTraceDlg::OnBnClickedClear() { list_.DeleteAllItems(); }

void CZarnTraceDlg::OnBnClickedSave() {
    const std::string path = askSavePath_ ? askSavePath_() : std::string();
    if (path.empty()) return;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        boxes_.Show({"ZarnTrace", "Failed to open file", ui::BoxButtons::Ok, ui::BoxIcon::Warning});
        return;
    }
    for (const ui::ListRow& row : Rows(IDC_TRACE_LIST)) {
        const std::string line = row.texts[0] + " " + row.texts[1] + "  [" + row.texts[3] + "] : " + row.texts[4] + "\r\n";
        std::fwrite(line.data(), 1, line.size(), file);
    }
    std::fclose(file);
}

void CZarnTraceDlg::OnBnClickedMsgFilter() {
    MsgFilterDialog filter(*this);
    filter.OnInitDialog();
    if (runModal_) runModal_(filter);
}

void CZarnTraceDlg::OnSysCommand(int id) {
    if ((id & 0xFFF0) != IDM_ABOUTBOX) return;
    ui::Dialog about(AboutDialogSpec());
    about.OnClick(1, [&about] { about.EndDialog(1); });
    if (runModal_) runModal_(about);
}

// --- filter --------------------------------------------------------------------------------------

MsgFilterDialog::MsgFilterDialog(CZarnTraceDlg& main) : ui::Dialog(MsgFilterDialogSpec()), main_(main) {
    OnClick(IDC_FILTER_SET, [this] { OnOK(); });
    OnClick(IDC_FILTER_CANCEL, [this] { EndDialog(IDC_FILTER_CANCEL); });
}

void MsgFilterDialog::OnInitDialog() {
    for (int i = 0; i < 8; ++i) SetChecked(IDC_FILTER_SOURCE_FIRST + i, main_.sourceFlags[static_cast<size_t>(i)].load() != 0);
    for (int i = 0; i < 6; ++i) SetChecked(IDC_FILTER_LEVEL_FIRST + i, main_.levelFlags[static_cast<size_t>(i)].load() != 0);
}

void MsgFilterDialog::OnOK() {
    for (int i = 0; i < 8; ++i) main_.sourceFlags[static_cast<size_t>(i)].store(Checked(IDC_FILTER_SOURCE_FIRST + i) ? 1 : 0);
    for (int i = 0; i < 6; ++i) main_.levelFlags[static_cast<size_t>(i)].store(Checked(IDC_FILTER_LEVEL_FIRST + i) ? 1 : 0);
    main_.ListCtrl().DeleteAllItems();
    EndDialog(IDC_FILTER_SET);
}
