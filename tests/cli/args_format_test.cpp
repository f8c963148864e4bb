// The console's own parsing and escaping, where a slip would misread a handle or let a
// hostile string through to a terminal or a JSON reader.
#include <gtest/gtest.h>

#include <random>

#include "cli/args.cpp"
#include "cli/format.cpp"

namespace clitest {
namespace {

TEST(HandleNumbers, decimal_negative_and_hex_spellings_name_the_same_32_bit_values) {
  EXPECT_EQ(cli::parseHandleNumber("268440752"), 0x100014b0u);
  EXPECT_EQ(cli::parseHandleNumber("0x100014B0"), 0x100014b0u);
  EXPECT_EQ(cli::parseHandleNumber("-2147483648"), 0x80000000u);
  EXPECT_EQ(cli::parseHandleNumber("-1"), 0xFFFFFFFFu);
  EXPECT_EQ(cli::parseHandleNumber("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(cli::parseHandleNumber("0xffffffff"), 0xFFFFFFFFu);
  EXPECT_EQ(cli::parseHandleNumber("0"), 0u);
}

TEST(HandleNumbers, text_that_does_not_fit_32_bits_or_is_not_a_number_is_refused) {
  for (const char* bad : {"", "-", "0x", "4294967296", "-2147483649", "0x100000000", "12a", "0x-1",
                          "+5", " 5", "99999999999999999999999"})
    EXPECT_FALSE(cli::parseHandleNumber(bad).has_value()) << bad;
}

TEST(ShellLines, quotes_and_backslashes_keep_blanks_inside_one_word) {
  EXPECT_EQ(cli::splitLine("  info   $1 "), (std::vector<std::string>{"info", "$1"}));
  EXPECT_EQ(cli::splitLine("classes 'com/acme shop' \"a\\\"b\" c\\ d"),
            (std::vector<std::string>{"classes", "com/acme shop", "a\"b", "c d"}));
  EXPECT_EQ(cli::splitLine("x ''"), (std::vector<std::string>{"x", ""}));
  EXPECT_THROW(cli::splitLine("info 'open"), cli::UsageError);
}

TEST(OptionWords, a_negative_number_is_a_value_not_an_option) {
  EXPECT_FALSE(cli::isOptionWord("-5"));
  EXPECT_FALSE(cli::isOptionWord("-"));
  EXPECT_TRUE(cli::isOptionWord("--raw"));
  EXPECT_TRUE(cli::isOptionWord("-h"));
}

TEST(Escaping, control_bytes_and_broken_utf8_never_reach_the_reader_raw) {
  const std::string hostile = std::string("a\x1b[2Jb\n\xff\xc3\xa9\x01");
  EXPECT_EQ(cli::printable(hostile), "a\\x1b[2Jb\\n\\xff\xc3\xa9\\x01");
  EXPECT_EQ(cli::jsonString(hostile), "\"a\\u001b[2Jb\\n\\ufffd\xc3\xa9\\u0001\"");
  EXPECT_EQ(cli::jsonString("q\"\\"), "\"q\\\"\\\\\"");
  // A sequence cut short at the end of the text is not UTF-8 either.
  EXPECT_EQ(cli::jsonString("\xe2\x82"), "\"\\ufffd\\ufffd\"");
}

TEST(Tables, columns_line_up_on_the_widest_cell_and_rows_carry_no_trailing_blanks) {
  cli::Table t;
  t.columns = {{"#", cli::Align::Right}, {"class"}, {"count", cli::Align::Right}};
  t.rows = {{"1", "a/B", "7"}, {"10", "a/LongerName", "12345"}};
  std::ostringstream out;
  cli::printTable(out, t);
  EXPECT_EQ(out.str(),
            " #  class         count\n"
            " 1  a/B               7\n"
            "10  a/LongerName  12345\n");
  // Columns as a terminal draws them: CJK and fullwidth letters take two, a combining mark
  // none, so the next column lines up under its title whatever the names hold.
  t.rows = {{"1", "a/\u4F1A\u8BDD", "7"}, {"2", "a/Cafe\u0301", "8"}, {"3", "a/\uFF21", "9"}};
  out.str("");
  cli::printTable(out, t);
  EXPECT_EQ(out.str(),
            "#  class   count\n"
            "1  a/\u4F1A\u8BDD      7\n"
            "2  a/Cafe\u0301      8\n"
            "3  a/\uFF21        9\n");
}

// A long list's table is written by TableWriter from rows made twice, once only measured; it must
// lay out exactly what printTable does with the same cells kept, whatever the cells hold.
TEST(Tables, rows_measured_then_written_lay_out_as_a_kept_table) {
  std::mt19937 random(7);
  const std::vector<std::string> words = {"", "a/B", "a/\u4F1A\u8BDD", "a/Cafe\u0301", "-", "x y"};
  for (int round = 0; round < 200; ++round) {
    const size_t columns = 1 + random() % 6, rows = random() % 8;
    std::vector<cli::Column> titles;
    for (size_t c = 0; c < columns; ++c)
      titles.push_back(
          {words[random() % words.size()], random() % 2 ? cli::Align::Right : cli::Align::Left});
    // Each cell: a word, a signed number or a hex number with a prefix.
    std::vector<std::vector<std::pair<int, int64_t>>> cells(rows);
    for (auto& row : cells)
      for (size_t c = 0; c < columns - random() % 2; ++c) {
        const int64_t n = (static_cast<int64_t>(random()) - (int64_t{1} << 31)) >> (random() % 32);
        row.push_back({static_cast<int>(random() % 3), n});
      }
    auto make = [&](const std::vector<std::pair<int, int64_t>>& row, cli::RowCells& out) {
      out.clear();
      for (const auto& [kind, n] : row) {
        if (kind == 0) out.cell(words[static_cast<uint64_t>(n) % words.size()]);
        if (kind == 1) out.number(n);
        if (kind == 2) out.hex(n % 2 ? "0x" : "@", static_cast<uint64_t>(n));
      }
    };
    cli::Table kept;
    kept.columns = titles;
    cli::RowCells row;
    for (const auto& r : cells) {
      make(r, row);
      std::vector<std::string> spelled;
      for (size_t c = 0; c < row.size(); ++c) spelled.emplace_back(row.at(c));
      kept.rows.push_back(spelled);
    }
    std::ostringstream expected, written;
    cli::printTable(expected, kept);
    cli::TableWriter writer(titles);
    row.measuring = true;
    for (const auto& r : cells) {
      make(r, row);
      writer.measure(row);
    }
    row.measuring = false;
    writer.start(written);
    for (const auto& r : cells) {
      make(r, row);
      writer.write(row);
    }
    writer.finish();
    ASSERT_EQ(written.str(), expected.str()) << "round " << round;
  }
}

TEST(Wrapping, long_text_breaks_at_blanks_within_the_width) {
  EXPECT_EQ(cli::wrap("aaa bbb ccc ddd", 7), "aaa bbb\nccc ddd");
  EXPECT_EQ(cli::wrap("averyveryverylongword x", 5), "averyveryverylongword\nx");
}

}  // namespace
}  // namespace clitest
