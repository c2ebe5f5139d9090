#include "platform/xpc/Wire.h"

namespace platform::xpc::wire {
namespace {

enum Type : std::uint8_t { kString = 1, kBool = 2, kInt64 = 3, kData = 4, kDictionary = 5 };

class Writer {
 public:
  void u8(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }
  void u16(std::uint16_t value) { little(value, 2); }
  void u32(std::uint32_t value) { little(value, 4); }
  void u64(std::uint64_t value) { little(value, 8); }
  void bytes(std::string_view text) {
    u32(static_cast<std::uint32_t>(text.size()));
    out_.append(text);
    check();
  }
  void dictionary(const Dictionary& object, int depth) {
    if (depth > kMaxDepth) throw XpcError("XPC message nested too deeply");
    u32(static_cast<std::uint32_t>(object.count()));
    for (const auto& [key, value] : object.entries()) {
      if (++entries_ > kMaxEntries) throw XpcError("XPC message has too many entries");
      if (key.find('\0') != std::string::npos) throw XpcError("XPC key holds NUL");
      bytes(key);
      if (const auto* text = std::get_if<std::string>(&value)) {
        if (text->find('\0') != std::string::npos) throw XpcError("XPC string holds NUL");
        u8(kString);
        bytes(*text);
      } else if (const bool* flag = std::get_if<bool>(&value)) {
        u8(kBool);
        u8(*flag ? 1 : 0);
      } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
        u8(kInt64);
        u64(static_cast<std::uint64_t>(*number));
      } else if (const auto* data = std::get_if<Data>(&value)) {
        u8(kData);
        bytes(data->bytes);
      } else {
        u8(kDictionary);
        dictionary(*std::get<std::shared_ptr<const Dictionary>>(value), depth + 1);
      }
    }
  }
  std::string take() {
    check();
    return std::move(out_);
  }

 private:
  void little(std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out_.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
  void check() const {
    if (out_.size() > kMaxPacketSize) throw XpcError("XPC message too large");
  }
  std::string out_;
  std::size_t entries_ = 0;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  std::uint64_t little(std::size_t size) {
    need(size);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in_[at_ + i])) << (8 * i);
    }
    at_ += size;
    return value;
  }
  std::string_view bytes() {
    const std::size_t size = little(4);
    need(size);
    const std::string_view text = in_.substr(at_, size);
    at_ += size;
    return text;
  }
  std::string_view text() {
    const std::string_view value = bytes();
    if (value.find('\0') != std::string_view::npos) throw XpcError("XPC text holds NUL");
    return value;
  }
  Dictionary dictionary(int depth) {
    if (depth > kMaxDepth) throw XpcError("XPC message nested too deeply");
    const std::uint64_t count = little(4);
    Dictionary result;
    for (std::uint64_t i = 0; i < count; ++i) {
      if (++entries_ > kMaxEntries) throw XpcError("XPC message has too many entries");
      const std::string_view key = text();
      if (result.getValue(key)) throw XpcError("XPC message repeats a key");
      switch (little(1)) {
        case kString:
          result.setValue(key, std::string(text()));
          break;
        case kBool: {
          const std::uint64_t flag = little(1);
          if (flag > 1) throw XpcError("XPC bool out of range");
          result.setValue(key, flag == 1);
          break;
        }
        case kInt64:
          result.setValue(key, static_cast<std::int64_t>(little(8)));
          break;
        case kData:
          result.setValue(key, Data{std::string(bytes())});
          break;
        case kDictionary:
          result.setDictionary(key, dictionary(depth + 1));
          break;
        default:
          throw XpcError("XPC value of unknown type");
      }
    }
    return result;
  }
  bool atEnd() const { return at_ == in_.size(); }

 private:
  void need(std::size_t size) const {
    if (size > in_.size() - at_) throw XpcError("XPC message truncated");
  }
  std::string_view in_;
  std::size_t at_ = 0;
  std::size_t entries_ = 0;
};

}  // namespace

std::string encode(const Header& header, const Dictionary& body) {
  Writer writer;
  writer.u32(kMagic);
  writer.u16(kVersion);
  writer.u16(header.flags);
  writer.u64(header.messageID);
  writer.u64(header.replyTo);
  writer.dictionary(body, 1);
  return writer.take();
}

Packet decode(std::string_view packet) {
  if (packet.size() > kMaxPacketSize) throw XpcError("XPC message too large");
  Reader reader(packet);
  if (reader.little(4) != kMagic) throw XpcError("not an XPC message");
  if (reader.little(2) != kVersion) throw XpcError("XPC message of another version");
  Packet result;
  result.header.flags = static_cast<std::uint16_t>(reader.little(2));
  if ((result.header.flags & ~(kFlagExpectsReply | kFlagGreeting)) != 0) {
    throw XpcError("XPC message with unknown flags");
  }
  result.header.messageID = reader.little(8);
  result.header.replyTo = reader.little(8);
  if (result.header.messageID == 0) throw XpcError("XPC message without an id");
  result.body = reader.dictionary(1);
  if (!reader.atEnd()) throw XpcError("XPC message has trailing bytes");
  return result;
}

}  // namespace platform::xpc::wire
