// The outcome of a call that may raise an UpdateFailure, in a form a table row can state.
#pragma once

#include <string>

#include "shared/UpdateFailure.h"

namespace testing_support {

// The message of the UpdateFailure the call raises, or "" when it returns. Other errors pass on.
template <typename Call>
std::string failureText(Call&& call) {
  try {
    call();
    return "";
  } catch (const bramlow::UpdateFailure& failure) {
    return failure.text();
  }
}

}  // namespace testing_support
