// `expectRefused`: the check of an operation that fails with an error
// out-parameter, as most storage operations do.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/error.h"

// Expects `result` (a bool, pointer or optional) to say failure, and
// `error` to carry `code` and `text`. Pass the call and the error it set:
// `expectRefused(store.f(&error), error, 1, "...")`.
template <typename Result>
void expectRefused(const Result& result, const platform::ErrorRef& error, long code,
                   const std::string& text) {
  EXPECT_FALSE(result) << text;
  ASSERT_TRUE(error) << text;
  EXPECT_EQ(error->code(), code) << text;
  EXPECT_EQ(error->localizedDescription(), text);
}
