// The strict reader the escaping tests rely on: it refuses what an escaped page never holds
// and reads what the pages write.
#include <gtest/gtest.h>

#include "tests/web/html_strict.h"

namespace {

TEST(StrictReader, refuses_markup_that_escaped_text_never_makes) {
  for (const char* bad : {
           "<p>a < b</p>",                      // a '<' that opens no tag
           "<p>a <3</p>",                       //
           "<p class=x>a</p>",                  // a value not in quotes
           "<p class='x'>a</p>",                //
           "<p class=\"x>a</p>",                // a value that never ends
           "<p>&nbsp;</p>",                     // a reference the pages do not use
           "<p>fish & chips</p>",               // a stray '&'
           "<p>&amp</p>",                       //
           "<p class=\"a\" class=\"b\">a</p>",  // an attribute twice
           "<p><b>a</p></b>",                   // an end tag that closes another element
           "<p>a",                              // never closed
           "<p>a</p></td>",                     //
           "<p\"x\">a</p>",                     // a malformed tag
       })
    EXPECT_NE(strict::parse(bad).error, "") << bad;
}

TEST(StrictReader, reads_elements_attributes_and_text_with_raw_quotes_marked) {
  const strict::Markup m = strict::parse(
      "<!DOCTYPE html>\n<p class=\"n\" data-column=\"a&amp;b\">x &lt;y&gt; &#39;z&#39; "
      "it's<br><input checked></p><svg><rect x=\"1\"/></svg>");
  ASSERT_EQ(m.error, "");
  ASSERT_EQ(m.elements.size(), 5u);
  EXPECT_EQ(m.elements[0].name, "p");
  EXPECT_EQ(m.elements[0].attributes[1].second, "a&b");
  EXPECT_EQ(m.elements[3].attributes.size(), 0u);
  EXPECT_NE(m.text.find("x <y> 'z' it\x01s"), std::string::npos) << m.text;
}

}  // namespace
