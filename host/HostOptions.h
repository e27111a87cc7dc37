// Where the host's values come from: the command line first, then the environment (AGE_SERVER,
// AGE_BRANCH, AGE_OPERATOR), then the user's config file (INI: server=HOST:PORT or tls://HOST:PORT, branch=,
// operator=, tls-ca=; by default ~/.config/age/age-host.conf), then the site's (/etc/age/age-host.conf), then
// the defaults (server 127.0.0.1:12100). The password never comes from the command line or a file: the
// sign-in dialog asks it, or AGE_PASSWORD gives it for scripted runs.
#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <optional>

#include "platform/ui/Ormelin.h"

struct HostOptions {
    Ormelin::HostValues values;
    QString modulesDir;  // empty: the lib folder beside the executable's folder
    QString open;        // screen code to open at start, e.g. AGE12100
    QString screenshot;  // save a picture of the main window once the screen is up, then exit
    bool tls = false;    // the server was given as tls://HOST:PORT
    QString tlsCa;       // certificates the server's must chain to; empty: the system's store
    bool insecurePassword = false;  // allow sending the password unencrypted to a server not on loopback
    QString password;               // AGE_PASSWORD; empty: the sign-in dialog asks
};

struct HostOptionsResult {
    std::optional<HostOptions> options;
    QString error;  // when options is empty: what is wrong, for the user
    bool help = false;
    QString helpText;
};

struct ServerAddress {
    std::string host;
    int port = 0;
    bool tls = false;
};
// "host:port" with a port of 1..65535, optionally after "tls://"; an IPv6 address in brackets.
std::optional<ServerAddress> parseServerAddress(const QString& text);

// `arguments` as main receives them (the program first); `environment` the variables that count.
inline const QString kSiteHostConfig = QStringLiteral("/etc/age/age-host.conf");
HostOptionsResult resolveHostOptions(const QStringList& arguments,
                                     const std::map<QString, QString>& environment,
                                     const QString& siteConfig = kSiteHostConfig);
