#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/formats/PropertyList.h"

namespace {
using namespace platform::plist;

// A binary list of depth nested arrays, each holding the next width times; the last one holds
// lastMember (the top object's number makes a cycle, the depth itself makes an empty array).
std::string binaryChain(std::uint32_t depth, std::uint32_t lastMember, int width = 1) {
  std::string out = "bplist00";
  std::string offsets;
  const auto bigEndian = [](std::string& to, std::uint64_t value, int bytes) {
    for (int b = bytes - 1; b >= 0; --b) to.push_back(static_cast<char>((value >> (8 * b)) & 0xff));
  };
  for (std::uint32_t i = 0; i < depth; ++i) {
    bigEndian(offsets, out.size(), 4);
    const bool last = i + 1 == depth;
    if (last && lastMember == depth) {
      out.push_back('\xa0');
      continue;
    }
    out.push_back(static_cast<char>(0xa0 | width));
    for (int n = 0; n < width; ++n) bigEndian(out, last ? lastMember : i + 1, 4);
  }
  std::string trailer(6, '\0');
  trailer += "\x04\x04";
  bigEndian(trailer, depth, 8);
  bigEndian(trailer, 0, 8);
  bigEndian(trailer, out.size(), 8);
  return out + offsets + trailer;
}

std::string xmlNesting(int depth, const std::string& open = "<array>") {
  std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  for (int i = 0; i < depth; ++i) xml += open;
  for (int i = 0; i < depth; ++i) xml += "</array>";
  return xml + "</plist>";
}

// Not a list, or nesting that the reader underneath, recursing once per level and expanding shared
// members of a binary list, cannot survive: depth and size are judged before it reads, however
// they are dressed up.
TEST(PropertyListTest, WhatTheReaderCannotTakeIsRefusedNotACrash) {
  const struct {
    const char* name;
    std::string bytes;
  } refused[] = {
      {"empty", ""},
      {"binary header alone", "bplist00"},
      {"XML cut short", "<?xml version=\"1.0\"?><plist><dict>"},
      {"XML, 66 levels", xmlNesting(66)},
      {"XML closing tags hidden in quotes", xmlNesting(300000, "<array x=\"</array>\">")},
      {"XML closing tags before the opening ones",
       [] {
         std::string closers;
         for (int i = 0; i < 300000; ++i) closers += "</array>";
         return closers + xmlNesting(300000);
       }()},
      {"binary, 66 levels", binaryChain(66, 66)},
      {"binary cycle", binaryChain(3, 0)},
      {"binary, 2^40 values in 40 levels of shared members", binaryChain(40, 40, 2)},
  };
  for (const auto& row : refused) EXPECT_THROW(parse(row.bytes), PropertyListError) << row.name;
  for (const std::string& bytes : {xmlNesting(64), binaryChain(64, 64)})
    EXPECT_TRUE(parse(bytes).array());
}

}  // namespace
