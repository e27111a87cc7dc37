// GoogleTest helpers for tests that run on each storage backend.
#pragma once

#include <gtest/gtest.h>

#include <ostream>

#include "tests/support/TestDatabase.h"

namespace age::test {
inline void PrintTo(Backend backend, std::ostream* out) {
    *out << backendName(backend);
}
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
