#include "server/Logging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/systemd_sink.h>
#include <spdlog/spdlog.h>
#include <nlohmann/json.hpp>

namespace age::server {
namespace {

std::string utcStamp(std::chrono::system_clock::time_point t) {
    auto seconds = std::chrono::system_clock::to_time_t(t);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));
    return text;
}

class JsonFormatter final : public spdlog::formatter {
  public:
    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
        auto level = spdlog::level::to_string_view(msg.level);
        nlohmann::ordered_json line{{"time", utcStamp(msg.time)},
                                    {"level", std::string(level.data(), level.size())},
                                    {"event", std::string(msg.payload.data(), msg.payload.size())},
                                    {"logger", std::string(msg.logger_name.data(), msg.logger_name.size())},
                                    {"pid", static_cast<long>(getpid())},
                                    {"thread", msg.thread_id}};
        // A message may quote bytes a client sent: replace what is not UTF-8 rather than throw.
        auto text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        dest.append(text.data(), text.data() + text.size());
        dest.push_back('\n');
    }
    std::unique_ptr<spdlog::formatter> clone() const override { return std::make_unique<JsonFormatter>(); }
};

}  // namespace

std::unique_ptr<spdlog::formatter> makeJsonFormatter() {
    return std::make_unique<JsonFormatter>();
}

bool stderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (!stream || fstat(STDERR_FILENO, &st) != 0) return false;
    unsigned long long dev = 0, ino = 0;
    return std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && dev == st.st_dev && ino == st.st_ino;
}

void setupLogging(const std::string& format, const std::string& target, const std::string& level) {
    bool journal = target == "journal" || (target == "auto" && stderrIsJournal());
    std::shared_ptr<spdlog::logger> logger;
    if (journal) {
        // The journal keeps time, priority and process itself: the message goes as it is.
        auto sink = std::make_shared<spdlog::sinks::systemd_sink_mt>("age-server");
        logger = std::make_shared<spdlog::logger>("age-server", sink);
    } else {
        spdlog::drop("age-server");
        logger = spdlog::stderr_color_mt("age-server");
        if (format == "json") logger->set_formatter(makeJsonFormatter());
    }
    logger->set_level(spdlog::level::from_str(level));
    spdlog::set_default_logger(logger);
}

}  // namespace age::server
