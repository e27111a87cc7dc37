// The host's sign-in dialog: "Operador", "Senha" and "Filial". At start every field can be changed; when a
// session ended while screens are open, the operator and the branch stay as they were (the screens' unsaved
// rows belong to them) and only the password is asked.
#pragma once

#include <QDialog>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

struct SignInRequest {
    QString operatorCode;
    QString branch;
    QString reason;        // shown above the fields: a refusal, an expired session; empty at first
    bool again = false;    // operator and branch locked
    QString server;        // where the password goes, e.g. "agenda.example:12443 (TLS)"
};

struct SignInAnswer {
    QString operatorCode;
    QString password;
    QString branch;
};

class SignInDialog : public QDialog {
    Q_OBJECT
public:
    explicit SignInDialog(const SignInRequest& request, QWidget* parent = nullptr);
    SignInAnswer Answer() const;

    // Shows the dialog modally; nothing when the user cancels.
    static std::optional<SignInAnswer> Ask(const SignInRequest& request, QWidget* parent = nullptr);

private:
    void updateButton();
    QLineEdit* operator_;
    QLineEdit* password_;
    QLineEdit* branch_;
    QLabel* message_;
    QPushButton* enter_;
};
