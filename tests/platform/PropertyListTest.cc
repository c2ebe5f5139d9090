#include <gtest/gtest.h>

#include "platform/PropertyList.h"

namespace {
using namespace platform::plist;

TEST(PropertyListTest, XmlAndBinaryReadTheSameValues) {
  const Dictionary original{
      {"string", "text with <markup> & ünïcode"},
      {"true", true},
      {"false", false},
      {"integer", std::int64_t{1234567890123}},
      {"negative", std::int64_t{-5}},
      {"real", 2.5},
      {"data", Data{std::string("\0\x01\xff", 3)}},
      {"array", Array{"a", 1, Array{}}},
      {"nested", Dictionary{{"inner", "value"}}},
      {"empty", ""},
  };
  for (const Format format : {Format::kXml, Format::kBinary}) {
    const Value parsed = parse(serialize(original, format));
    ASSERT_TRUE(parsed.dictionary());
    EXPECT_EQ(*parsed.dictionary(), original) << (format == Format::kXml ? "xml" : "binary");
  }
}

TEST(PropertyListTest, NonPropertyListsAreRefused) {
  const char* cases[] = {"", "not a plist", "bplist00", "<?xml version=\"1.0\"?><plist><dict>",
                         "{\"json\": true}"};
  for (const char* text : cases) {
    EXPECT_THROW(parse(text), PropertyListError) << text;
  }
}

TEST(PropertyListTest, DeepNestingIsRefusedNotACrash) {
  std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  for (int i = 0; i < 200; ++i) xml += "<array>";
  for (int i = 0; i < 200; ++i) xml += "</array>";
  xml += "</plist>";
  EXPECT_THROW(parse(xml), PropertyListError);
}

}  // namespace
