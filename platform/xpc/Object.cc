#include "platform/xpc/Object.h"

#include <algorithm>

namespace platform::xpc {

namespace {
const PeerIdentity kLocal{};
}  // namespace

void Dictionary::setValue(std::string_view key, Value value) {
  const auto existing = std::find_if(entries_.begin(), entries_.end(),
                                     [&](const auto& entry) { return entry.first == key; });
  if (existing != entries_.end()) {
    existing->second = std::move(value);
  } else {
    entries_.emplace_back(std::string(key), std::move(value));
  }
}

void Dictionary::setString(std::string_view key, std::string_view value) {
  if (value.find('\0') != std::string_view::npos) {
    throw XpcError("an XPC string cannot hold a NUL character");
  }
  setValue(key, std::string(value));
}
void Dictionary::setBool(std::string_view key, bool value) { setValue(key, value); }
void Dictionary::setInt64(std::string_view key, std::int64_t value) { setValue(key, value); }
void Dictionary::setData(std::string_view key, std::string_view bytes) {
  setValue(key, Data{std::string(bytes)});
}
void Dictionary::setDictionary(std::string_view key, Dictionary value) {
  setValue(key, std::make_shared<const Dictionary>(std::move(value)));
}

const Value* Dictionary::getValue(std::string_view key) const {
  for (const auto& [name, value] : entries_) {
    if (name == key) return &value;
  }
  return nullptr;
}

const std::string* Dictionary::getString(std::string_view key) const {
  const Value* value = getValue(key);
  return value ? std::get_if<std::string>(value) : nullptr;
}

bool Dictionary::getBool(std::string_view key) const {
  const Value* value = getValue(key);
  const bool* flag = value ? std::get_if<bool>(value) : nullptr;
  return flag && *flag;
}

std::int64_t Dictionary::getInt64(std::string_view key) const {
  const Value* value = getValue(key);
  const std::int64_t* number = value ? std::get_if<std::int64_t>(value) : nullptr;
  return number ? *number : 0;
}

const std::string* Dictionary::getData(std::string_view key) const {
  const Value* value = getValue(key);
  const Data* data = value ? std::get_if<Data>(value) : nullptr;
  return data ? &data->bytes : nullptr;
}

const Dictionary* Dictionary::getDictionary(std::string_view key) const {
  const Value* value = getValue(key);
  const auto* nested = value ? std::get_if<std::shared_ptr<const Dictionary>>(value) : nullptr;
  return nested ? nested->get() : nullptr;
}

const PeerIdentity& Dictionary::remoteSender() const {
  return delivery_ ? delivery_->sender : kLocal;
}

bool Dictionary::expectsReply() const { return delivery_ && delivery_->expectsReply; }

std::optional<Dictionary> Dictionary::createReply() const {
  if (!expectsReply()) return std::nullopt;
  Dictionary reply;
  reply.replyTo_ = delivery_->messageID;
  return reply;
}

bool Dictionary::operator==(const Dictionary& other) const {
  if (entries_.size() != other.entries_.size()) return false;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const auto& [key, value] = entries_[i];
    const auto& [otherKey, otherValue] = other.entries_[i];
    if (key != otherKey || value.index() != otherValue.index()) return false;
    const auto* nested = std::get_if<std::shared_ptr<const Dictionary>>(&value);
    if (nested) {
      if (!(**nested == *std::get<std::shared_ptr<const Dictionary>>(otherValue))) return false;
    } else if (value != otherValue) {
      return false;
    }
  }
  return true;
}

const char* errorDescription(Error error) {
  switch (error) {
    case Error::kConnectionInterrupted:
      return "Connection interrupted";
    case Error::kConnectionInvalid:
      return "Connection invalid";
    case Error::kTerminationImminent:
      return "Termination imminent";
  }
  return "Unknown XPC error";
}

}  // namespace platform::xpc
