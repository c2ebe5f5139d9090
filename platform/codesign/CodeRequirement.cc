// The requirement language: a tokenizer and a recursive-descent parser for the "and"-joined subset
// that code-signing checks are written in, and the evaluation of a compiled requirement.
#include <openssl/objects.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/codesign/CodeSigning.h"
#include "platform/codesign/Internal.h"
#include "platform/crypto/OpenSsl.h"

namespace platform::codesign {

struct Requirement::Clause {
  enum class Kind { kIdentifier, kAnchor, kSubjectEquals, kSubjectExists, kExtensionExists };
  Kind kind = Kind::kAnchor;
  std::string value;
  int certificate = 0;  // 0 is the leaf, kRoot the last certificate of the chain
  int nid = NID_undef;
  std::string extension;  // dotted
  static constexpr int kRoot = -1;
};

namespace {

// Deep enough for any chain a signature carries; a larger index can never match.
constexpr int kMaximumCertificateIndex = 64;

[[noreturn]] void syntaxError(const std::string& why) {
  throw CodeSigningError(Status::kRequirementSyntax, "requirement syntax error: " + why);
}

struct Token {
  enum class Type { kEnd, kWord, kString, kOpenBracket, kCloseBracket, kEquals };
  Type type = Type::kEnd;
  std::string text;
};

class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  Token next() {
    while (position_ < text_.size() && std::strchr(" \t\r\n", text_[position_]) &&
           text_[position_] != '\0') {
      ++position_;
    }
    if (position_ == text_.size()) return {Token::Type::kEnd, {}};
    const char c = text_[position_];
    if (c == '"') {
      const std::size_t close = text_.find('"', position_ + 1);
      if (close == std::string_view::npos) syntaxError("unterminated string");
      std::string value(text_.substr(position_ + 1, close - position_ - 1));
      if (value.find('\0') != std::string::npos) syntaxError("NUL inside a string");
      position_ = close + 1;
      return {Token::Type::kString, std::move(value)};
    }
    if (c == '[' || c == ']' || c == '=') {
      ++position_;
      return {c == '[' ? Token::Type::kOpenBracket
                       : (c == ']' ? Token::Type::kCloseBracket : Token::Type::kEquals),
              std::string(1, c)};
    }
    const std::size_t start = position_;
    while (position_ < text_.size() && isWordCharacter(text_[position_])) ++position_;
    if (position_ == start) syntaxError("unexpected character");
    return {Token::Type::kWord, std::string(text_.substr(start, position_ - start))};
  }

 private:
  static bool isWordCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '.' || c == '_' || c == '-';
  }
  std::string_view text_;
  std::size_t position_ = 0;
};

bool isDottedOid(const std::string& text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  bool previousDot = false;
  for (char c : text) {
    if (c == '.') {
      if (previousDot) return false;
      previousDot = true;
    } else if (c >= '0' && c <= '9') {
      previousDot = false;
    } else {
      return false;
    }
  }
  return text.find('.') != std::string::npos;
}

int subjectNid(const std::string& attribute) {
  if (attribute == "CN") return NID_commonName;
  if (attribute == "O") return NID_organizationName;
  if (attribute == "OU") return NID_organizationalUnitName;
  if (attribute == "C") return NID_countryName;
  if (attribute == "L") return NID_localityName;
  if (attribute == "ST") return NID_stateOrProvinceName;
  return NID_undef;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : tokens_(text) { advance(); }

  template <typename Clause>
  std::vector<Clause> parse() {
    std::vector<Clause> clauses;
    clauses.push_back(clause<Clause>());
    while (isWord("and")) {
      advance();
      clauses.push_back(clause<Clause>());
    }
    if (current_.type != Token::Type::kEnd) syntaxError("unexpected \"" + current_.text + "\"");
    return clauses;
  }

 private:
  void advance() { current_ = tokens_.next(); }
  bool isWord(const char* word) const {
    return current_.type == Token::Type::kWord && current_.text == word;
  }
  void expectWord(const char* word) {
    if (!isWord(word)) syntaxError(std::string("expected ") + word);
    advance();
  }
  void expect(Token::Type type, const char* what) {
    if (current_.type != type) syntaxError(std::string("expected ") + what);
    advance();
  }
  std::string expectString() {
    if (current_.type != Token::Type::kString) syntaxError("expected a quoted string");
    std::string value = std::move(current_.text);
    advance();
    return value;
  }

  template <typename Clause>
  Clause clause() {
    Clause result;
    if (isWord("identifier")) {
      advance();
      result.kind = Clause::Kind::kIdentifier;
      result.value = expectString();
      return result;
    }
    if (isWord("anchor")) {
      advance();
      expectWord("apple");
      expectWord("generic");
      result.kind = Clause::Kind::kAnchor;
      return result;
    }
    if (!isWord("certificate")) syntaxError("expected identifier, anchor or certificate");
    advance();
    result.certificate = certificateIndex<Clause>();
    expect(Token::Type::kOpenBracket, "[");
    if (current_.type != Token::Type::kWord) syntaxError("expected a certificate field");
    const std::string field = current_.text;
    advance();
    expect(Token::Type::kCloseBracket, "]");
    bool equals = false;
    if (current_.type == Token::Type::kEquals) {
      advance();
      result.value = expectString();
      equals = true;
    } else {
      expectWord("exists");
    }
    if (field.starts_with("subject.")) {
      result.nid = subjectNid(field.substr(8));
      if (result.nid == NID_undef) syntaxError("unknown subject attribute " + field);
      result.kind = equals ? Clause::Kind::kSubjectEquals : Clause::Kind::kSubjectExists;
    } else if (field.starts_with("field.") && isDottedOid(field.substr(6)) && !equals) {
      const openssl::UniquePtr<ASN1_OBJECT> object(OBJ_txt2obj(field.substr(6).c_str(), 1));
      // Kept as the library writes it back, the form the facts of a certificate hold.
      if (object) result.extension = dottedObjectIdentifier(object.get());
      if (result.extension.empty()) syntaxError("invalid object identifier " + field);
      result.kind = Clause::Kind::kExtensionExists;
    } else {
      syntaxError("unsupported certificate field " + field);
    }
    return result;
  }

  template <typename Clause>
  int certificateIndex() {
    if (current_.type != Token::Type::kWord) syntaxError("expected a certificate");
    const std::string word = current_.text;
    advance();
    if (word == "leaf") return 0;
    if (word == "root") return Clause::kRoot;
    if (word.empty() || word.size() > 2 ||
        word.find_first_not_of("0123456789") != std::string::npos) {
      syntaxError("invalid certificate index " + word);
    }
    const int index = std::stoi(word);
    if (index > kMaximumCertificateIndex) syntaxError("certificate index too large");
    return index;
  }

  Tokenizer tokens_;
  Token current_;
};

const CertificateFacts* certificateAt(const SignerFacts& facts, int index) {
  if (facts.chain.empty()) return nullptr;
  if (index < 0) return &facts.chain.back();
  const auto position = static_cast<std::size_t>(index);
  return position < facts.chain.size() ? &facts.chain[position] : nullptr;
}

const std::string* subjectValue(const CertificateFacts& certificate, int nid) {
  for (const auto& [attribute, value] : certificate.subject) {
    if (attribute == nid) return &value;
  }
  return nullptr;
}

}  // namespace

std::string dottedObjectIdentifier(const ASN1_OBJECT* object) {
  const int length = OBJ_obj2txt(nullptr, 0, object, 1);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  if (OBJ_obj2txt(text.data(), length + 1, object, 1) != length) return {};
  text.resize(static_cast<std::size_t>(length));
  return text;
}

CertificateFacts certificateFacts(const X509* certificate) {
  CertificateFacts facts;
  const X509_NAME* name = X509_get_subject_name(certificate);
  for (const int nid : kRequirementSubjectNids) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) continue;
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0) continue;
    const openssl::UniquePtr<unsigned char> owner(utf8);
    facts.subject.emplace_back(
        nid, std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length)));
  }
  for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
    std::string oid =
        dottedObjectIdentifier(X509_EXTENSION_get_object(X509_get_ext(certificate, i)));
    if (!oid.empty()) facts.extensions.push_back(std::move(oid));
  }
  return facts;
}

Requirement::Requirement(std::vector<Clause> clauses) : clauses_(std::move(clauses)) {}
Requirement::Requirement(Requirement&&) noexcept = default;
Requirement& Requirement::operator=(Requirement&&) noexcept = default;
Requirement::~Requirement() = default;

Requirement Requirement::compile(std::string_view text, Flags /*flags*/) {
  return Requirement(Parser(text).parse<Clause>());
}

bool Requirement::isSatisfiedBy(const SignerFacts& facts) const {
  for (const Clause& clause : clauses_) {
    switch (clause.kind) {
      case Clause::Kind::kIdentifier:
        if (facts.identifier != clause.value) return false;
        break;
      case Clause::Kind::kAnchor:
        if (!facts.anchored) return false;
        break;
      case Clause::Kind::kSubjectEquals:
      case Clause::Kind::kSubjectExists: {
        const CertificateFacts* certificate = certificateAt(facts, clause.certificate);
        if (!certificate) return false;
        const std::string* value = subjectValue(*certificate, clause.nid);
        if (!value) return false;
        if (clause.kind == Clause::Kind::kSubjectEquals && *value != clause.value) return false;
        break;
      }
      case Clause::Kind::kExtensionExists: {
        const CertificateFacts* certificate = certificateAt(facts, clause.certificate);
        if (!certificate ||
            std::find(certificate->extensions.begin(), certificate->extensions.end(),
                      clause.extension) == certificate->extensions.end()) {
          return false;
        }
        break;
      }
    }
  }
  return true;
}

}  // namespace platform::codesign
