// Between the parts of the code-signing stand-in only.
#pragma once

#include <openssl/x509.h>

#include <string>
#include <vector>

namespace platform::codesign {

// What a validated signature shows, for a requirement to judge.
struct SignerFacts {
  std::string identifier;
  bool anchored = false;     // the chain ends at a trust anchor
  std::vector<X509*> chain;  // leaf first, then its issuers (borrowed)
};

}  // namespace platform::codesign
