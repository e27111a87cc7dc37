#include "host/HostSignIn.h"

#include "host/HostWindow.h"
#include "host/SignInDialog.h"
#include "platform/ui/Ormelin.h"

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// The server as the dialog names it, with whether the password travels encrypted.
QString serverText(const TNetConnection& net) {
    return qs(net.Address()) +
           (net.Transport.Tls ? QStringLiteral(" (TLS)") : QStringLiteral(" (sem criptografia)"));
}

void adopt(const TSessionInfo& session, const QString& branch) {
    Ormelin::HostValues values = Ormelin::CurrentHostValues();
    values.operatorCode = session.Operator;
    values.branch = branch.toStdString();
    Ormelin::SetHostValues(values);
}

}  // namespace

StartSignIn signInAtStart(TNetConnection& net, const HostOptions& options, bool interactive) {
    const auto& values = Ormelin::CurrentHostValues();
    net.Host = values.serverHost;
    net.Port = values.serverPort;
    QString operatorCode = qs(values.operatorCode), branch = qs(values.branch), reason;
    auto attempt = [&](const QString& password) -> std::optional<StartSignIn> {
        try {
            adopt(net.SignIn({operatorCode.toStdString(), password.toStdString()}), branch);
            return StartSignIn{true, {}};
        } catch (const ESignInRefused& refused) {
            reason = qs(refused.what());
        } catch (const EInsecureTransport& insecure) {
            return StartSignIn{false, qs(insecure.what())};
        } catch (const std::runtime_error& failure) {  // connection failures, error answers
            reason = qs(failure.what());
        }
        if (!interactive) return StartSignIn{false, reason};
        return std::nullopt;
    };

    if (!options.password.isEmpty() && !operatorCode.isEmpty() && !branch.isEmpty())
        if (auto done = attempt(options.password)) return *done;
    if (!interactive)
        return {false, QStringLiteral("Sem janela para entrar: informe operador, filial e AGE_PASSWORD.")};
    for (;;) {
        auto answer = SignInDialog::Ask({operatorCode, branch, reason, false, serverText(net)});
        if (!answer) return {};
        operatorCode = answer->operatorCode;
        branch = answer->branch;
        if (auto done = attempt(answer->password)) return *done;
    }
}

void installSignInHooks(HostWindow& window, bool interactive) {
    TNetConnection::AskSignIn = [&window, interactive](
                                    const std::string& reason,
                                    const TNetConnection& net) -> std::optional<TCredentials> {
        if (!interactive) return std::nullopt;
        const auto& values = Ormelin::CurrentHostValues();
        auto answer = SignInDialog::Ask(
            {qs(values.operatorCode), qs(values.branch), qs(reason), true, serverText(net)}, &window);
        if (!answer) return std::nullopt;
        return TCredentials{answer->operatorCode.toStdString(), answer->password.toStdString()};
    };
    TNetConnection::SignedIn = [&window](const TSessionInfo& session) {
        window.ShowOperator(qs(session.Name.empty() ? session.Operator : session.Name));
    };
    if (TNetConnection::Session) TNetConnection::SignedIn(*TNetConnection::Session);
}

void removeSignInHooks() {
    TNetConnection::AskSignIn = nullptr;
    TNetConnection::SignedIn = nullptr;
}
