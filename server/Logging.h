// Where age-server's log goes and in which shape: plain lines or one JSON object per line on stderr, or
// systemd's journal with the level as the entry's priority.
#pragma once

#include <memory>
#include <string>

#include <spdlog/formatter.h>

namespace age::server {

// One object per line: {"time":"2026-12-08T07:30:00.123Z","level":"warn","event":"...","logger":...,
// "pid":...,"thread":...}. The time is UTC.
std::unique_ptr<spdlog::formatter> makeJsonFormatter();

// True when stderr is the journal stream systemd set up for this process (JOURNAL_STREAM).
bool stderrIsJournal();

// format: "text" or "json"; target: "auto" (the journal when stderr goes there), "stderr" or "journal";
// level: spdlog's level names. Makes the default logger.
void setupLogging(const std::string& format, const std::string& target, const std::string& level);

}  // namespace age::server
