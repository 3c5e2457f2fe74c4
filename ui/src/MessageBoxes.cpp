#include "ui/MessageBoxes.h"

#include <algorithm>
#include <chrono>
#include <strings.h>

namespace ui {

std::vector<BoxResult> ButtonsOf(BoxButtons buttons) {
    switch (buttons) {
        case BoxButtons::OkCancel: return {BoxResult::Ok, BoxResult::Cancel};
        case BoxButtons::YesNo: return {BoxResult::Yes, BoxResult::No};
        case BoxButtons::Ok: break;
    }
    return {BoxResult::Ok};
}

bool OpenBox::Answer(BoxResult result) {
    std::vector<std::function<void(BoxResult)>> hooks;
    {
        std::lock_guard lock(mutex_);
        if (result_ != BoxResult::None || result == BoxResult::None) return false;
        result_ = result;
        hooks.swap(hooks_);
    }
    answered_.notify_all();
    for (auto& hook : hooks) hook(result);
    return true;
}

bool OpenBox::Answered() const {
    std::lock_guard lock(mutex_);
    return result_ != BoxResult::None;
}

BoxResult OpenBox::Result() const {
    std::lock_guard lock(mutex_);
    return result_;
}

BoxResult OpenBox::Wait() {
    std::unique_lock lock(mutex_);
    answered_.wait(lock, [this] { return result_ != BoxResult::None; });
    return result_;
}

void OpenBox::AddOnAnswered(std::function<void(BoxResult)> hook) {
    std::unique_lock lock(mutex_);
    if (result_ == BoxResult::None) {
        hooks_.push_back(std::move(hook));
        return;
    }
    const BoxResult result = result_;
    lock.unlock();
    hook(result);
}

void MessageBoxes::SetPresenter(BoxPresenter* presenter) {
    std::lock_guard lock(mutex_);
    presenter_ = presenter;
}

namespace {

// How a box closed from outside is answered: Cancel when it has that button, else its last one.
BoxResult ClosingAnswer(BoxButtons buttons) {
    const std::vector<BoxResult> all = ButtonsOf(buttons);
    const bool hasCancel = std::find(all.begin(), all.end(), BoxResult::Cancel) != all.end();
    return hasCancel ? BoxResult::Cancel : all.back();
}

}  // namespace

std::shared_ptr<OpenBox> MessageBoxes::Open(const BoxRequest& request, BoxPresenter*& presenter) {
    auto box = std::make_shared<OpenBox>(request);
    std::lock_guard lock(mutex_);
    presenter = presenter_;
    if (closed_) {
        presenter = nullptr;
        box->Answer(ClosingAnswer(request.buttons));
        return box;
    }
    if (presenter == nullptr) return box;
    open_.push_back(box);
    // Leaves the registry as soon as it is answered, whoever answers it.
    box->AddOnAnswered([this, raw = box.get()](BoxResult) {
        std::lock_guard inner(mutex_);
        std::erase_if(open_, [raw](const std::shared_ptr<OpenBox>& b) { return b.get() == raw; });
    });
    return box;
}

BoxResult MessageBoxes::Show(const BoxRequest& request) {
    BoxPresenter* presenter = nullptr;
    std::shared_ptr<OpenBox> box = Open(request, presenter);
    if (presenter == nullptr) return box->Answered() ? box->Result() : ButtonsOf(request.buttons).front();
    presenter->Present(box);
    presenter->Wait(*box);
    return box->Result();
}

void MessageBoxes::ShowAsync(const BoxRequest& request) {
    BoxPresenter* presenter = nullptr;
    std::shared_ptr<OpenBox> box = Open(request, presenter);
    if (presenter != nullptr) presenter->Present(box);
}

bool MessageBoxes::CloseByCaption(const std::string& caption) {
    std::shared_ptr<OpenBox> box;
    {
        std::lock_guard lock(mutex_);
        for (const auto& open : open_) {
            if (!open->Answered() && strcasecmp(open->Request().caption.c_str(), caption.c_str()) == 0) {
                box = open;
                break;
            }
        }
    }
    if (!box) return false;
    box->Answer(ClosingAnswer(box->Request().buttons));
    return true;
}

void MessageBoxes::CloseAll() {
    std::vector<std::shared_ptr<OpenBox>> open;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        open = open_;
    }
    for (const auto& box : open) box->Answer(ClosingAnswer(box->Request().buttons));
}

std::vector<BoxRequest> MessageBoxes::OpenBoxes() const {
    std::lock_guard lock(mutex_);
    std::vector<BoxRequest> requests;
    for (const auto& open : open_) requests.push_back(open->Request());
    return requests;
}

// --- scripted presenter ---------------------------------------------------------------------------

void ScriptedPresenter::SetScript(Script script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
}

void ScriptedPresenter::Present(const std::shared_ptr<OpenBox>& box) {
    Script script;
    {
        std::lock_guard lock(mutex_);
        shown_.push_back(box->Request());
        std::erase_if(boxes_, [](const std::shared_ptr<OpenBox>& b) { return b->Answered(); });
        boxes_.push_back(box);
        script = script_;
    }
    changed_.notify_all();
    std::optional<BoxResult> answer = script ? script(box->Request()) : ButtonsOf(box->Request().buttons).front();
    if (answer) box->Answer(*answer);
}

std::vector<BoxRequest> ScriptedPresenter::Shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

void ScriptedPresenter::ClearShown() {
    std::lock_guard lock(mutex_);
    shown_.clear();
}

size_t ScriptedPresenter::CountLocked(const std::string& caption) const {
    return static_cast<size_t>(
        std::count_if(shown_.begin(), shown_.end(), [&](const BoxRequest& r) { return r.caption == caption; }));
}

bool ScriptedPresenter::WaitForShown(const std::string& caption, size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return CountLocked(caption) >= count; });
}

std::shared_ptr<OpenBox> ScriptedPresenter::WaitForOpen(const std::string& caption, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(mutex_);
    while (true) {
        for (const auto& box : boxes_) {
            if (box->Request().caption == caption && !box->Answered()) return box;
        }
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return nullptr;
    }
}

}  // namespace ui
