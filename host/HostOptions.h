// Where the host's values come from: the command line first, then the environment (AGE_SERVER,
// AGE_BRANCH, AGE_OPERATOR), then the user's config file (INI: server=HOST:PORT, branch=, operator=; by
// default ~/.config/age/age-host.conf), then the site's (/etc/age/age-host.conf), then the defaults
// (server 127.0.0.1:12100).
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
};

struct HostOptionsResult {
    std::optional<HostOptions> options;
    QString error;  // when options is empty: what is wrong, for the user
    bool help = false;
    QString helpText;
};

// "host:port" with a port of 1..65535.
std::optional<std::pair<std::string, int>> parseServerAddress(const QString& text);

// `arguments` as main receives them (the program first); `environment` the variables that count.
inline const QString kSiteHostConfig = QStringLiteral("/etc/age/age-host.conf");
HostOptionsResult resolveHostOptions(const QStringList& arguments,
                                     const std::map<QString, QString>& environment,
                                     const QString& siteConfig = kSiteHostConfig);
