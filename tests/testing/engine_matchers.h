// Assertions on engine errors: tests compare codes, never message texts.
#pragma once

#include <gtest/gtest.h>

#include "errors/engine_error.h"

#define EXPECT_ENGINE_ERROR(expected_code, statement)                                     \
  do {                                                                                    \
    try {                                                                                 \
      statement;                                                                          \
      ADD_FAILURE() << "expected engine error " << (expected_code) << ", nothing raised"; \
    } catch (const ::tarvo::ETarvoEngineError& engine_error_) {                           \
      EXPECT_EQ(static_cast<unsigned>(expected_code),                                     \
                static_cast<unsigned>(::tarvo::EngineCode(engine_error_)))                \
          << engine_error_.what();                                                        \
    }                                                                                     \
  } while (false)

#define ASSERT_ENGINE_ERROR(expected_code, statement)                              \
  do {                                                                             \
    try {                                                                          \
      statement;                                                                   \
      FAIL() << "expected engine error " << (expected_code) << ", nothing raised"; \
    } catch (const ::tarvo::ETarvoEngineError& engine_error_) {                    \
      ASSERT_EQ(static_cast<unsigned>(expected_code),                              \
                static_cast<unsigned>(::tarvo::EngineCode(engine_error_)))         \
          << engine_error_.what();                                                 \
    }                                                                              \
  } while (false)
