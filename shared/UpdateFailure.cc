#include "shared/UpdateFailure.h"

#ifndef BRAMLOW_MODULE_NAME
#error "BRAMLOW_MODULE_NAME names the executable this code is compiled into"
#endif

namespace bramlow {

std::string UpdateFailure::errorDomain() {
  return std::string(BRAMLOW_MODULE_NAME) + ".UpdateFailure";
}

void fail(std::string_view marker) { throw UpdateFailure::message(std::string(marker)); }

}  // namespace bramlow
