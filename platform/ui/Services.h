// The framework's user-facing services: error, information and confirmation boxes, help, and the
// application-wide cursor. Screens never open a box themselves; they go through here, so that tests can
// record what was shown and script the answers of confirmation boxes instead of showing real ones.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace age::ui {

enum class BoxKind { Error, Information, Confirmation, Help };
enum class Answer { Yes, No };

struct ShownBox {
    BoxKind kind;
    std::string text;  // the message, or the help context as decimal text
    bool operator==(const ShownBox&) const = default;
};

class MessageService {
public:
    static MessageService& Instance();

    void Error(const std::string& text);
    void Information(const std::string& text);
    // A question box with Yes and No; `defaultButton` has the initial focus, Escape gives `escapeAnswer`.
    Answer Confirm(const std::string& text, Answer defaultButton, Answer escapeAnswer);
    void Help(int helpContext);

    // True while a real box is up: focus changes caused by a box set off no enter/exit handlers.
    bool ModalUp() const { return modalDepth_ > 0; }

    // --- test mode: boxes are recorded, not shown; confirmations take their answers from the script.
    void StartRecording();
    void StopRecording();  // also forgets the record and any answers left
    bool Recording() const { return recording_; }
    const std::vector<ShownBox>& Shown() const { return shown_; }
    std::vector<ShownBox> TakeShown();  // the record so far, which is then emptied
    void ScriptAnswers(std::initializer_list<Answer> answers);
    std::size_t AnswersLeft() const { return answers_.size(); }
    // Called for a confirmation that has no scripted answer while recording (it then answers No). The test
    // harness turns it into a test failure; by default it writes to stderr.
    std::function<void(const std::string& text)> OnUnscripted;

    // The window boxes are centred over (the host's main window); null centres them on the screen.
    void SetParentWindow(QWidget* window) { parent_ = window; }

    // The help system: the host installs one; without it help shows an information box with the context.
    std::function<void(int helpContext)> HelpHandler;

private:
    MessageService() = default;
    QWidget* parent_ = nullptr;
    bool recording_ = false;
    int modalDepth_ = 0;
    std::vector<ShownBox> shown_;
    std::deque<Answer> answers_;
    friend struct ModalScope;
};

// The application-wide cursor (the screen cursor of the forms).
enum class TCursor { crDefault, crHourGlass };

namespace Screen {
void SetCursor(TCursor cursor);
TCursor Cursor();
}  // namespace Screen

}  // namespace age::ui
