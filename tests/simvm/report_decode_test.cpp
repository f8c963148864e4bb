// Decoding report streams: well-formed ones come apart into records, anything else is refused.
#include <gtest/gtest.h>

#include "simvm/library.h"

namespace {

using simvm::decodeReport;
using simvm::decodeUsageReport;
using simvm::VmError;

std::string stream(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string& p : parts) out += p + '\0';
  return out;
}

TEST(ReportDecode, splits_records_into_kind_handle_class_and_detail) {
  const std::string bytes =
      stream({"3", "C 268439552 java/lang/Object 19", "I -2147483640 com/acme/Thing run()",
              "A 16 [Ljava/lang/String; a name with spaces"});
  const simvm::Report r = decodeReport(bytes);
  EXPECT_EQ(r.bytes, bytes);
  EXPECT_EQ(r.count, 3);
  ASSERT_EQ(r.records.size(), 3u);
  EXPECT_EQ(r.records[0].kind, 'C');
  EXPECT_EQ(r.records[0].handle, 268439552u);
  EXPECT_EQ(r.records[0].className, "java/lang/Object");
  EXPECT_EQ(r.records[0].detail, "19");
  EXPECT_EQ(r.records[1].handle, 0x80000008u);  // handles above 2 GB print negative
  EXPECT_EQ(r.records[1].detail, "run()");
  EXPECT_EQ(r.records[2].className, "[Ljava/lang/String;");
  EXPECT_EQ(r.records[2].detail, "a name with spaces");
  EXPECT_EQ(decodeReport(stream({"1", "I 8 java/lang/Object"})).records[0].detail, "");
  EXPECT_EQ(decodeReport(stream({"0"})).records.size(), 0u);
}

TEST(ReportDecode, refuses_a_count_that_does_not_match_the_records) {
  EXPECT_THROW(decodeReport(stream({"2", "I 8 A"})), VmError);
  EXPECT_THROW(decodeReport(stream({"0", "I 8 A"})), VmError);
  EXPECT_THROW(decodeReport(stream({"1"})), VmError);
}

TEST(ReportDecode, refuses_missing_or_extra_terminators) {
  EXPECT_THROW(decodeReport(""), VmError);
  EXPECT_THROW(decodeReport("1"), VmError);                           // no NUL after the count
  EXPECT_THROW(decodeReport(stream({"1"}) + "I 8 A"), VmError);       // record without NUL
  EXPECT_THROW(decodeReport(stream({"1", "I 8 A"}) + "x"), VmError);  // trailing bytes
  EXPECT_THROW(decodeReport(stream({"1", "I 8 A", ""})), VmError);    // an empty record
}

TEST(ReportDecode, refuses_malformed_counts_and_records) {
  for (const char* count : {"", "-1", "x", "1 ", "99999999999"})
    EXPECT_THROW(decodeReport(stream({count})), VmError) << count;
  for (const char* record :
       {"X 8 A", "I8 A", "I 8", "I 0x8 A", "I  A", "I 4294967295 A", "I -2147483649 A", "i 8 A"})
    EXPECT_THROW(decodeReport(stream({"1", record})), VmError) << record;
}

TEST(ReportDecode, usage_records_split_on_their_last_two_spaces) {
  const simvm::UsageReport u =
      decodeUsageReport(stream({"2", "java/lang/String 3 120", "odd name 1 8589934592"}));
  ASSERT_EQ(u.records.size(), 2u);
  EXPECT_EQ(u.records[0].className, "java/lang/String");
  EXPECT_EQ(u.records[0].count, 3);
  EXPECT_EQ(u.records[0].bytes, 120);
  EXPECT_EQ(u.records[1].className, "odd name");
  EXPECT_EQ(u.records[1].bytes, 8589934592LL);
  for (const char* record : {"java/lang/String 3", "java/lang/String x 1", "a 1 2x", "3 4"})
    EXPECT_THROW(decodeUsageReport(stream({"1", record})), VmError) << record;
  EXPECT_THROW(decodeUsageReport(stream({"2", "a 1 2"})), VmError);
}

}  // namespace
