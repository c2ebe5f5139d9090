#include "platform/env/Locale.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace platform {

namespace {

std::string_view variable(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return value ? std::string_view(value) : std::string_view();
}

// "pt_BR.UTF-8@euro" -> "pt-BR"; "" for entries that name no language.
std::string normalize(std::string_view entry) {
  entry = entry.substr(0, entry.find_first_of(".@"));
  if (entry.empty() || entry == "C" || entry == "POSIX") return {};
  std::string tag;
  for (const char c : entry) {
    if (c == '_' || c == '-') {
      tag += '-';
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      tag += c;
    } else {
      return {};  // not a locale name; never let it reach a file name
    }
  }
  const std::size_t dash = tag.find('-');
  std::transform(tag.begin(), tag.begin() + static_cast<std::ptrdiff_t>(std::min(dash, tag.size())),
                 tag.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (tag.front() == '-' || tag.back() == '-') return {};
  return tag;
}

}  // namespace

std::vector<std::string> preferredLanguagesFrom(std::string_view language, std::string_view lcAll,
                                                std::string_view lcMessages,
                                                std::string_view lang) {
  std::vector<std::string> entries;
  std::string_view rest = language;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    entries.push_back(normalize(rest.substr(0, colon)));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  const std::string_view locale = !lcAll.empty() ? lcAll : !lcMessages.empty() ? lcMessages : lang;
  entries.push_back(normalize(locale));

  std::vector<std::string> languages;
  for (std::string& entry : entries) {
    if (entry.empty() || std::find(languages.begin(), languages.end(), entry) != languages.end()) {
      continue;
    }
    languages.push_back(std::move(entry));
  }
  return languages;
}

std::vector<std::string> preferredLanguages() {
  return preferredLanguagesFrom(variable("LANGUAGE"), variable("LC_ALL"), variable("LC_MESSAGES"),
                                variable("LANG"));
}

std::string baseLanguage(std::string_view tag) { return std::string(tag.substr(0, tag.find('-'))); }

}  // namespace platform
