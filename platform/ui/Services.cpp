#include "platform/ui/Services.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>

#include "platform/ui/Showavi.h"

namespace age::ui {

// A real box is up: focus moves set off no handlers, and no busy animation runs under it.
struct ModalScope {
    MessageService& s;
    explicit ModalScope(MessageService& service) : s(service) {
        ++s.modalDepth_;
        Showavi::Suspend();
    }
    ~ModalScope() {
        Showavi::Resume();
        --s.modalDepth_;
    }
};

MessageService& MessageService::Instance() {
    static MessageService service;
    return service;
}

namespace {

QWidget* boxParent(QWidget* parent) {
    if (parent) return parent;
    return QApplication::activeWindow();
}

}  // namespace

void MessageService::Error(const std::string& text) {
    if (recording_) {
        shown_.push_back({BoxKind::Error, text});
        return;
    }
    ModalScope modal(*this);
    QMessageBox::critical(boxParent(parent_), QApplication::applicationDisplayName(), QString::fromStdString(text));
}

void MessageService::Information(const std::string& text) {
    if (recording_) {
        shown_.push_back({BoxKind::Information, text});
        return;
    }
    ModalScope modal(*this);
    QMessageBox::information(boxParent(parent_), QApplication::applicationDisplayName(),
                             QString::fromStdString(text));
}

Answer MessageService::Confirm(const std::string& text, Answer defaultButton, Answer escapeAnswer) {
    if (recording_) {
        shown_.push_back({BoxKind::Confirmation, text});
        if (answers_.empty()) {
            if (OnUnscripted)
                OnUnscripted(text);
            else
                std::fprintf(stderr, "unscripted confirmation box: %s\n", text.c_str());
            return Answer::No;
        }
        Answer answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    ModalScope modal(*this);
    QMessageBox box(QMessageBox::Question, QApplication::applicationDisplayName(), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No, boxParent(parent_));
    box.button(QMessageBox::Yes)->setText(QStringLiteral("&Sim"));
    box.button(QMessageBox::No)->setText(QStringLiteral("&Não"));
    auto button = [&](Answer a) { return box.button(a == Answer::Yes ? QMessageBox::Yes : QMessageBox::No); };
    box.setDefaultButton(qobject_cast<QPushButton*>(button(defaultButton)));
    box.setEscapeButton(button(escapeAnswer));
    box.exec();
    return box.clickedButton() == button(Answer::Yes) ? Answer::Yes : Answer::No;
}

void MessageService::Help(int helpContext) {
    if (recording_) {
        shown_.push_back({BoxKind::Help, std::to_string(helpContext)});
        return;
    }
    if (HelpHandler) {
        ModalScope modal(*this);
        HelpHandler(helpContext);
        return;
    }
    Information(helpContext == 0 ? "Não há ajuda disponível para esta tela."
                                 : "Ajuda: tópico " + std::to_string(helpContext) + ".");
}

void MessageService::StartRecording() {
    recording_ = true;
    shown_.clear();
    answers_.clear();
}

void MessageService::StopRecording() {
    recording_ = false;
    shown_.clear();
    answers_.clear();
}

std::vector<ShownBox> MessageService::TakeShown() {
    std::vector<ShownBox> taken;
    taken.swap(shown_);
    return taken;
}

void MessageService::ScriptAnswers(std::initializer_list<Answer> answers) {
    answers_.insert(answers_.end(), answers.begin(), answers.end());
}

namespace Screen {
namespace {
TCursor current = TCursor::crDefault;
}

void SetCursor(TCursor cursor) {
    if (cursor == current) return;
    current = cursor;
    if (cursor == TCursor::crHourGlass)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
}

TCursor Cursor() { return current; }
}  // namespace Screen

}  // namespace age::ui
