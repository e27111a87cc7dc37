#include "host/HostOptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>

std::optional<ServerAddress> parseServerAddress(const QString& text) {
    ServerAddress address;
    QString rest = text;
    if (rest.startsWith(QStringLiteral("tls://"), Qt::CaseInsensitive)) {
        address.tls = true;
        rest = rest.mid(6);
    }
    int colon = rest.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) return std::nullopt;
    bool ok = false;
    address.port = rest.mid(colon + 1).toInt(&ok);
    if (!ok || address.port < 1 || address.port > 65535) return std::nullopt;
    QString host = rest.left(colon);
    if (host.size() > 2 && host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (host.contains(QLatin1Char('/'))) return std::nullopt;
    address.host = host.toStdString();
    return address;
}

HostOptionsResult resolveHostOptions(const QStringList& arguments,
                                     const std::map<QString, QString>& environment, const QString& siteConfig) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Aplicação hospedeira dos módulos."));
    parser.addHelpOption();
    QCommandLineOption server("server", "Servidor de aplicação (HOST:PORTA, ou tls://HOST:PORTA cifrado).",
                              "HOST:PORT");
    QCommandLineOption branch("branch", "Filial de trabalho.", "CODE");
    QCommandLineOption op("operator", "Operador conectado.", "CODE");
    QCommandLineOption config("config", "Arquivo de configuração (INI).", "FILE");
    QCommandLineOption modules("modules", "Pasta dos módulos.", "DIR");
    QCommandLineOption open("open", "Tela a abrir ao iniciar (AGE12100).", "CODE");
    QCommandLineOption screenshot("screenshot", "Salva uma imagem da janela e termina.", "FILE");
    QCommandLineOption tlsCa("tls-ca", "Certificados de autoridade para verificar o servidor TLS (PEM).", "FILE");
    QCommandLineOption insecure("insecure-password",
                                "Envia a senha sem criptografia a um servidor fora desta máquina.");
    parser.addOptions({server, branch, op, config, modules, open, screenshot, tlsCa, insecure});

    HostOptionsResult result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet("help")) {
        result.help = true;
        result.helpText = parser.helpText();
        return result;
    }
    auto env = [&](const char* name) -> QString {
        auto it = environment.find(QString::fromLatin1(name));
        return it == environment.end() ? QString() : it->second;
    };
    QString configPath = parser.value(config);
    if (configPath.isEmpty())
        configPath = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                     QStringLiteral("/age/age-host.conf");
    QSettings file(configPath, QSettings::IniFormat);
    QSettings site(siteConfig, QSettings::IniFormat);
    auto pick = [&](const QCommandLineOption& option, const char* envName, const char* key) {
        if (parser.isSet(option)) return parser.value(option);
        if (QString v = env(envName); !v.isEmpty()) return v;
        QString name = QString::fromLatin1(key);
        return file.contains(name) ? file.value(name).toString() : site.value(name).toString();
    };

    HostOptions options;
    QString address = pick(server, "AGE_SERVER", "server");
    if (!address.isEmpty()) {
        auto parsed = parseServerAddress(address);
        if (!parsed) {
            result.error =
                QStringLiteral("Endereço de servidor inválido: %1 (use HOST:PORTA ou tls://HOST:PORTA).").arg(address);
            return result;
        }
        options.values.serverHost = parsed->host;
        options.values.serverPort = parsed->port;
        options.tls = parsed->tls;
    }
    options.tlsCa = parser.isSet(tlsCa) ? parser.value(tlsCa) : file.value(QStringLiteral("tls-ca")).toString();
    options.insecurePassword = parser.isSet(insecure);
    options.password = env("AGE_PASSWORD");
    options.values.branch = pick(branch, "AGE_BRANCH", "branch").toStdString();
    options.values.operatorCode = pick(op, "AGE_OPERATOR", "operator").toStdString();
    options.modulesDir = parser.value(modules);
    options.open = parser.value(open);
    options.screenshot = parser.value(screenshot);
    result.options = options;
    return result;
}
