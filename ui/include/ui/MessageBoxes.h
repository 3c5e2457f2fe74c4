#pragma once
// Message boxes of a program, told apart by caption. A box is shown through a presenter (the Qt
// view, or a scripted one in tests) and stays in the program's own registry while it is open, so
// that another thread can close it by its caption. Captions are kept exactly as given, trailing
// blanks included.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ui {

enum class BoxButtons { Ok, OkCancel, YesNo };
enum class BoxIcon { None, Warning, Error, Information, Question };
enum class BoxResult { None = 0, Ok = 1, Cancel = 2, Yes = 6, No = 7 };

struct BoxRequest {
    std::string caption;
    std::string text;
    BoxButtons buttons = BoxButtons::Ok;
    BoxIcon icon = BoxIcon::None;
};

// Buttons of a box in their order on screen.
std::vector<BoxResult> ButtonsOf(BoxButtons buttons);

// One open box. Answer() may be called from any thread; the first answer counts.
class OpenBox {
public:
    explicit OpenBox(BoxRequest request) : request_(std::move(request)) {}
    const BoxRequest& Request() const { return request_; }
    // Records the answer and wakes the waiter; false when the box was already answered.
    bool Answer(BoxResult result);
    bool Answered() const;
    BoxResult Result() const;
    // Blocks until answered.
    BoxResult Wait();
    // Adds a hook called once after the answer, on the answering thread (at once when the box is
    // already answered): the registry forgets the box, a presenter closes its window.
    void AddOnAnswered(std::function<void(BoxResult)> hook);

private:
    const BoxRequest request_;
    mutable std::mutex mutex_;
    std::condition_variable answered_;
    BoxResult result_ = BoxResult::None;
    std::vector<std::function<void(BoxResult)>> hooks_;
};

// Shows boxes: Present makes the box visible and returns at once; Wait blocks the calling thread
// until the box is answered (a presenter on a UI thread keeps its events flowing meanwhile).
class BoxPresenter {
public:
    virtual ~BoxPresenter() = default;
    virtual void Present(const std::shared_ptr<OpenBox>& box) = 0;
    virtual void Wait(OpenBox& box) { box.Wait(); }
};

class MessageBoxes {
public:
    explicit MessageBoxes(BoxPresenter* presenter = nullptr) : presenter_(presenter) {}
    void SetPresenter(BoxPresenter* presenter);

    // Shows a box and waits for its answer. Without a presenter the box is answered with its
    // first button at once.
    BoxResult Show(const BoxRequest& request);
    // Shows a box without waiting for it.
    void ShowAsync(const BoxRequest& request);
    // Closes the first open box whose caption equals `caption` ignoring case: with Cancel when it
    // has that button, else with its last button. False when none is open.
    bool CloseByCaption(const std::string& caption);
    std::vector<BoxRequest> OpenBoxes() const;
    // The program is ending: every open box is closed as CloseByCaption closes it, and every
    // later box is answered that way at once, without being shown.
    void CloseAll();

private:
    std::shared_ptr<OpenBox> Open(const BoxRequest& request, BoxPresenter*& presenter);

    mutable std::mutex mutex_;
    BoxPresenter* presenter_;
    std::vector<std::shared_ptr<OpenBox>> open_;
    bool closed_ = false;
};

// A presenter for tests and headless runs: records every box, answers by a script (a function of
// the request; no value leaves the box open until someone answers or closes it), and lets a test
// wait for a box to open.
class ScriptedPresenter : public BoxPresenter {
public:
    using Script = std::function<std::optional<BoxResult>(const BoxRequest&)>;
    void SetScript(Script script);
    void Present(const std::shared_ptr<OpenBox>& box) override;

    std::vector<BoxRequest> Shown() const;
    void ClearShown();
    // Waits until `count` boxes with this caption have been shown in all.
    bool WaitForShown(const std::string& caption, size_t count = 1, int timeoutMs = 5000) const;
    // The open box (not yet answered) with this caption, waiting for it up to timeoutMs.
    std::shared_ptr<OpenBox> WaitForOpen(const std::string& caption, int timeoutMs = 5000) const;

private:
    size_t CountLocked(const std::string& caption) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Script script_;
    std::vector<BoxRequest> shown_;
    std::vector<std::shared_ptr<OpenBox>> boxes_;
};

}  // namespace ui
