// The databases tests run on. SQLite needs nothing; PostgreSQL comes from AGE_TEST_PG_URL, the URL of a
// server's maintenance database ("postgresql://age@127.0.0.1:PORT/postgres"). scripts/test starts a
// throwaway server, sets that variable and also AGE_TEST_REQUIRE_PG=1, which turns a missing server into a
// failure; run by hand without the variable, the PostgreSQL tests are skipped with a message. The macros at
// the end are for GoogleTest files.
#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace age::test {

enum class Backend { Sqlite, Postgres };
inline constexpr Backend kBackends[] = {Backend::Sqlite, Backend::Postgres};
std::string backendName(Backend backend);  // "sqlite", "postgresql"
inline void PrintTo(Backend backend, std::ostream* out) {
    *out << backendName(backend);
}

std::optional<std::string> postgresServerUrl();
bool postgresRequired();
// Why tests on `backend` cannot run here; nothing when they can.
std::optional<std::string> unavailable(Backend backend);

// A fresh, empty database on the test PostgreSQL, so that tests running in parallel never see each other's
// rows. Dropped on destruction, with any connection still open to it.
class ScratchDatabase {
  public:
    ScratchDatabase();  // throws std::runtime_error without a server
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    const std::string& name() const { return name_; }
    const std::string& url() const { return url_; }  // "postgresql://.../NAME"

  private:
    std::string serverUrl_;
    std::string name_;
    std::string url_;
};

// Runs one fixed statement on the database at `url` (test set-up and inspection only).
void runSql(const std::string& url, const std::string& sql);
// The first column of the first row of a fixed query, or "" when there is none.
std::string querySql(const std::string& url, const std::string& sql);

}  // namespace age::test

// In SetUp() or a test body: skips the test when its backend is missing here, or fails it when the run
// requires every backend (scripts/test).
#define AGE_REQUIRE_BACKEND(backend)                                \
    if (auto ageMissing = ::age::test::unavailable(backend)) {      \
        if (::age::test::postgresRequired()) FAIL() << *ageMissing; \
        GTEST_SKIP() << *ageMissing;                                \
    }

// Instantiates the parameterised FIXTURE once per backend: Fixture.Test/sqlite, Fixture.Test/postgresql.
#define AGE_ON_EACH_BACKEND(Fixture)                                                 \
    INSTANTIATE_TEST_SUITE_P(, Fixture, ::testing::ValuesIn(::age::test::kBackends), \
                             [](const auto& info) { return ::age::test::backendName(info.param); })
