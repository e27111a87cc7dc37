#include "host/SignInDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/ui/Showavi.h"

namespace {

QLineEdit* field(QWidget* parent, const char* name, const QString& label, const QString& text, int maxLength) {
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setAccessibleName(label);
    edit->setMaxLength(maxLength);
    return edit;
}

}  // namespace

SignInDialog::SignInDialog(const SignInRequest& request, QWidget* parent) : QDialog(parent) {
    setObjectName("dlgEntrada");
    setWindowTitle(request.again ? QStringLiteral("Entrar novamente") : QStringLiteral("Entrar"));
    setModal(true);

    operator_ = field(this, "edtOperador", QStringLiteral("Operador"), request.operatorCode, 12);
    password_ = field(this, "edtSenha", QStringLiteral("Senha"), QString(), 1024);
    password_->setEchoMode(QLineEdit::Password);
    branch_ = field(this, "edtFilial", QStringLiteral("Filial"), request.branch, 4);
    // Greyed rather than read-only, so that it shows they cannot change.
    operator_->setEnabled(!request.again);
    branch_->setEnabled(!request.again);

    message_ = new QLabel(request.reason, this);
    message_->setObjectName("lblMensagem");
    message_->setWordWrap(true);
    message_->setAccessibleName(request.reason);
    message_->setVisible(!request.reason.isEmpty());
    message_->setStyleSheet(QStringLiteral("font-weight: bold;"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Operador:"), operator_);
    form->addRow(QStringLiteral("&Senha:"), password_);
    form->addRow(QStringLiteral("&Filial:"), branch_);
    if (!request.server.isEmpty()) {
        auto* server = new QLabel(request.server, this);
        server->setObjectName("lblServidor");
        server->setAccessibleName(QStringLiteral("Servidor: ") + request.server);
        form->addRow(QStringLiteral("Servidor:"), server);
    }

    auto* buttons = new QDialogButtonBox(this);
    enter_ = buttons->addButton(QStringLiteral("&Entrar"), QDialogButtonBox::AcceptRole);
    enter_->setObjectName("btnEntrar");
    enter_->setDefault(true);
    QPushButton* cancel = buttons->addButton(QStringLiteral("&Cancelar"), QDialogButtonBox::RejectRole);
    cancel->setObjectName("btnCancelar");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message_);
    layout->addLayout(form);
    layout->addWidget(buttons);
    setMinimumWidth(360);

    for (auto* edit : {operator_, password_, branch_})
        connect(edit, &QLineEdit::textChanged, this, &SignInDialog::updateButton);
    updateButton();
    // The first field that still needs typing has the focus.
    if (operator_->text().isEmpty())
        operator_->setFocus();
    else
        password_->setFocus();
}

void SignInDialog::updateButton() {
    enter_->setEnabled(!operator_->text().trimmed().isEmpty() && !password_->text().isEmpty() &&
                       !branch_->text().trimmed().isEmpty());
}

SignInAnswer SignInDialog::Answer() const {
    return {operator_->text().trimmed(), password_->text(), branch_->text().trimmed()};
}

std::optional<SignInAnswer> SignInDialog::Ask(const SignInRequest& request, QWidget* parent) {
    SignInDialog dialog(request, parent);
    Showavi::Suspend();  // asked again in the middle of a save: no busy animation under the question
    const int result = dialog.exec();
    Showavi::Resume();
    if (result != QDialog::Accepted) return std::nullopt;
    return dialog.Answer();
}
