#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "azure/page_link.hpp"
#include "collab/json.hpp"

namespace collab::azure::detail {
namespace {

// The link found without parsing must be the page's own nextLink or nothing: a wrong guess
// would send for a page the listing never asked for.  Every case that finds a link is checked
// against a real JSON parser as well.
TEST(TrailingNextLink, FindsOnlyTheClosingNextLinkMemberOfThePage) {
  struct Case {
    const char* name;
    std::string body;
    std::optional<std::string> link;
  } cases[] = {
      {"compact", R"({"value":[1,2],"nextLink":"https://h/p?$skiptoken=a%3D"})",
       "https://h/p?$skiptoken=a%3D"},
      {"blanks everywhere", "{ \"value\" : [ ] ,\r\n \"nextLink\"\t:\n \"/next\" \n}\n", "/next"},
      {"only member", R"({"nextLink":"/x"})", "/x"},
      {"empty link", R"({"value":[],"nextLink":""})", ""},
      {"null link", R"({"value":[],"nextLink":null})", std::nullopt},
      {"no link", R"({"value":[]})", std::nullopt},
      {"link first", R"({"nextLink":"/x","value":[]})", std::nullopt},
      {"escaped slash", R"({"value":[],"nextLink":"https:\/\/h\/p"})", std::nullopt},
      {"escaped quote ends the text", R"({"value":[],"nextLink":"a\""})", std::nullopt},
      {"nested nextLink last", R"({"value":[{"nextLink":"/inner"}]})", std::nullopt},
      {"nested object last", R"({"value":[],"tags":{"nextLink":"/inner"}})", std::nullopt},
      {"other key", R"({"value":[],"nextlink":"/x"})", std::nullopt},
      {"key with a longer name", R"({"value":[],"my"nextLink":"/x"})", std::nullopt},
      {"key inside a string", R"({"value":["a\"nextLink":"/x"})", std::nullopt},
      {"array element", R"(["nextLink","/x"])", std::nullopt},
      {"not an object", R"("nextLink")", std::nullopt},
      {"cut short", R"({"value":[],"nextLink":"/x)", std::nullopt},
      {"empty body", "", std::nullopt},
      {"lone brace", "}", std::nullopt},
      {"lone quote and brace", "\"}", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string_view> found = trailingNextLink(c.body);
    ASSERT_EQ(found.has_value(), c.link.has_value());
    if (!found) continue;
    EXPECT_EQ(std::string(*found), *c.link);
    const Json parsed = Json::parse(c.body);
    EXPECT_EQ(parsed.at("nextLink").get<std::string>(), *c.link);
  }
}

}  // namespace
}  // namespace collab::azure::detail
