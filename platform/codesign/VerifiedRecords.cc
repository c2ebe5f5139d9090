// Records of verified bundles, kept between processes. A native-messaging host lives for one
// message, and verifying the updater's signature from nothing (the crypto library's start-up, the
// chain, the executable's digest) would cost each message more than everything else it does.
//
// What a record can be trusted for: it is read only from a folder and a file that belong to the
// user and that nobody else can write, so only the user's own processes can have written it; and
// those can already replace the bundles themselves, or the host the browser starts. The key it is
// believed for holds file identities that no process can reproduce for other content (see
// FileIdentity). A record is a line-based text whose every string is hex-encoded, so no path or
// name can break its lines; anything unexpected in it makes it worthless, never an error.
#include <unistd.h>

#include <charconv>
#include <string>
#include <string_view>

#include "platform/codesign/Internal.h"
#include "platform/env/Env.h"
#include "platform/env/UserFolder.h"

namespace platform::codesign {

namespace {

constexpr std::string_view kHeader = "verified code 1";
// Far above what a process's bundle needs (its own sealed files, not its nested code's).
constexpr std::size_t kMaximumRecordSize = 1 << 20;

std::string hexOf(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xf]);
  }
  return out;
}

std::optional<std::string> bytesOf(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned int value = 0;
    const auto [end, error] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
    if (error != std::errc() || end != hex.data() + i + 2) return std::nullopt;
    out.push_back(static_cast<char>(value));
  }
  return out;
}

// FNV-1a, to name a bundle's record: the record itself says whose it is.
std::string recordName(const VerifiedBundleKey& key) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const std::string* text : {&key.bundlePath, &key.executableName}) {
    for (const unsigned char c : *text + '\0') {
      hash ^= c;
      hash *= 0x100000001b3ULL;
    }
  }
  std::string bytes(8, '\0');
  for (int i = 7; i >= 0; --i, hash >>= 8) bytes[static_cast<std::size_t>(i)] = char(hash & 0xff);
  return "verified-" + hexOf(bytes);
}

// The folder of the records, or an invalid descriptor when it is not private to the user (then
// nothing is recorded: another user could have made it, or could read what we would write).
UniqueFd recordsFolder() {
  try {
    return openUserFolder("bramlow-codesign").fd;
  } catch (const std::exception&) {
    return UniqueFd();
  }
}

std::string identityText(const FileIdentity& file) {
  return "file " + std::to_string(file.device) + " " + std::to_string(file.inode) + " " +
         std::to_string(file.size) + " " + std::to_string(file.mtimeSeconds) + " " +
         std::to_string(file.mtimeNanoseconds) + " " + std::to_string(file.ctimeSeconds) + " " +
         std::to_string(file.ctimeNanoseconds);
}

std::string encode(const VerifiedBundleKey& key, const VerifiedCode& code) {
  std::string out(kHeader);
  out += "\nbundle " + hexOf(key.bundlePath) + "\nexecutable " + hexOf(key.executableName) + "\n";
  for (const FileIdentity& file : key.files) out += identityText(file) + "\n";
  out += "identifier " + hexOf(code.signer.identifier) + "\n";
  out += code.signer.anchored ? "anchored 1\n" : "anchored 0\n";
  for (const CertificateFacts& certificate : code.signer.chain) {
    out += "certificate\n";
    for (const auto& [nid, value] : certificate.subject) {
      out += "subject " + std::to_string(nid) + " " + hexOf(value) + "\n";
    }
    for (const std::string& oid : certificate.extensions) out += "extension " + hexOf(oid) + "\n";
  }
  for (const auto& [path, digest] : code.sealedFiles) {
    out += "sealed " + hexOf(path) + " " + hexOf(digest) + "\n";
  }
  out += "end\n";
  return out;
}

// Reads a record back, line by line, in the order encode writes it.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // The next line's words after the expected first one, or nullopt.
  std::optional<std::string_view> line(std::string_view first) {
    const std::size_t end = text_.find('\n', position_);
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view whole = text_.substr(position_, end - position_);
    if (whole != first && !whole.starts_with(std::string(first) + " ")) return std::nullopt;
    position_ = end + 1;
    return whole.size() == first.size() ? std::string_view() : whole.substr(first.size() + 1);
  }
  bool at(std::string_view first) const {
    const std::string_view rest = text_.substr(position_);
    return rest.starts_with(std::string(first) + " ") ||
           rest.starts_with(std::string(first) + "\n");
  }
  bool finished() const { return position_ == text_.size(); }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

template <typename Number>
bool numberOf(std::string_view& words, Number& value) {
  const std::size_t space = words.find(' ');
  const std::string_view word = words.substr(0, space);
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (word.empty() || error != std::errc() || end != word.data() + word.size()) return false;
  words = space == std::string_view::npos ? std::string_view() : words.substr(space + 1);
  return true;
}

std::optional<VerifiedCode> decode(std::string_view text, const VerifiedBundleKey& key) {
  Reader reader(text);
  if (!reader.line(kHeader)) return std::nullopt;
  const auto bundle = reader.line("bundle");
  const auto executable = reader.line("executable");
  if (!bundle || bytesOf(*bundle) != key.bundlePath || !executable ||
      bytesOf(*executable) != key.executableName) {
    return std::nullopt;
  }
  for (const FileIdentity& expected : key.files) {
    const auto words = reader.line("file");
    if (!words || *words != std::string_view(identityText(expected)).substr(5)) return std::nullopt;
  }
  VerifiedCode code;
  const auto identifier = reader.line("identifier");
  std::optional<std::string> identifierBytes;
  if (identifier) identifierBytes = bytesOf(*identifier);
  const auto anchored = reader.line("anchored");
  if (!identifierBytes || !anchored || (*anchored != "0" && *anchored != "1")) return std::nullopt;
  code.signer.identifier = std::move(*identifierBytes);
  code.signer.anchored = *anchored == "1";
  while (reader.line("certificate")) {
    CertificateFacts& certificate = code.signer.chain.emplace_back();
    while (reader.at("subject")) {
      std::string_view words = *reader.line("subject");
      int nid = 0;
      std::optional<std::string> value;
      if (numberOf(words, nid)) value = bytesOf(words);
      if (!value) return std::nullopt;
      certificate.subject.emplace_back(nid, std::move(*value));
    }
    while (reader.at("extension")) {
      auto oid = bytesOf(*reader.line("extension"));
      if (!oid) return std::nullopt;
      certificate.extensions.push_back(std::move(*oid));
    }
  }
  while (reader.at("sealed")) {
    const std::string_view words = *reader.line("sealed");
    const std::size_t space = words.find(' ');
    auto path = bytesOf(words.substr(0, space));
    std::optional<std::string> digest;
    if (space != std::string_view::npos) digest = bytesOf(words.substr(space + 1));
    if (!path || !digest) return std::nullopt;
    code.sealedFiles.emplace(std::move(*path), std::move(*digest));
  }
  if (!reader.line("end") || !reader.finished()) return std::nullopt;
  return code;
}

}  // namespace

std::optional<VerifiedCode> loadVerifiedRecord(const VerifiedBundleKey& key) noexcept {
  try {
    const UniqueFd folder = recordsFolder();
    if (!folder) return std::nullopt;
    const RegularFile file = env().openRegularFile(recordName(key), folder.get());
    if (file.owner != ::geteuid() || (file.mode & 022) != 0) return std::nullopt;
    const std::string text = env().readToEnd(file, kMaximumRecordSize);
    return decode(text, key);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void storeVerifiedRecord(const VerifiedBundleKey& key, const VerifiedCode& code) noexcept {
  try {
    const std::string text = encode(key, code);
    if (text.size() > kMaximumRecordSize) return;
    const UniqueFd folder = recordsFolder();
    if (!folder) return;
    env().writeFileAtomically(recordName(key), text, 0600, folder.get());
  } catch (const std::exception&) {
    // Not recorded: the next check verifies again.
  }
}

}  // namespace platform::codesign
