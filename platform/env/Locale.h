// The user's language preferences, read the way a Linux desktop reads them: the LANGUAGE list
// first, then the messages locale (LC_ALL, else LC_MESSAGES, else LANG).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Language tags in order of preference, each as "ll" or "ll-RR" (from "ll_RR.codeset@modifier"),
// without duplicates. "C" and "POSIX" express no preference and are left out, so the list may be
// empty.
std::vector<std::string> preferredLanguages();

// The same, from the given variable values (empty = unset).
std::vector<std::string> preferredLanguagesFrom(std::string_view language, std::string_view lcAll,
                                                std::string_view lcMessages, std::string_view lang);

// "de-DE" -> "de"; a tag without region is returned as is.
std::string baseLanguage(std::string_view tag);

}  // namespace platform
