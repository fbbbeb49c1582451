// The ASC/ASCQ text table and its fallback to the two numbers.

#include <gtest/gtest.h>

#include <string>

#include "engine/device/qnConstSense.h"

namespace qnzb::test {
namespace {

struct TextCase {
  uint8_t Asc, Ascq;
  const char* Expected;  // nullptr: the pair has no text
};

TEST(SenseText, LookupsAcrossTheTable) {
  const TextCase cases[] = {
      {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
      {0x00, 0x01, nullptr},
      {0x00, 0x17, "CLEANING REQUESTED"},
      {0x04, 0x04, "LOGICAL UNIT NOT READY, FORMAT IN PROGRESS"},
      {0x04, 0x05, nullptr},
      {0x04, 0x06, nullptr},
      {0x04, 0x07, "LOGICAL UNIT NOT READY, OPERATION IN PROGRESS"},
      {0x04, 0x08, "LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS"},
      {0x04, 0x09, "LOGICAL UNIT NOT READY, SELF-TEST IN PROGRESS"},
      {0x08, 0x03, "LOGICAL UNIT COMMUNICATION CRC ERROR (ULTRA-DMA/32)"},
      {0x18, 0x01, "RECOVERED DATA WITH ERROR CORR. & RETRIES APPLIED"},
      {0x18, 0x07, nullptr},
      {0x24, 0x00, "INVALID FIELD IN CDB"},
      {0x30, 0x10, "MEDIUM NOT FORMATTED"},
      {0x30, 0x0A, nullptr},
      {0x3A, 0x00, "MEDIUM NOT PRESENT"},
      {0x3A, 0x05, nullptr},
      {0x3B, 0x0D, "MEDIUM DESTINATION ELEMENT FULL"},
      {0x3B, 0x00, nullptr},
      {0x5D, 0xFF, "FAILURE PREDICTION THRESHOLD EXCEEDED (FALSE)"},
      {0x6F, 0x00, "COPY PROTECTION KEY EXCHANGE FAILURE - AUTHENTICATION FAILURE"},
      {0x73, 0x06, "RMA/PMA IS ALMOST FULL"},
      {0x73, 0x07, nullptr},
      {0xFF, 0xFF, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.Asc) << "/" << int(c.Ascq));
    const char* text = FindSenseText(c.Asc, c.Ascq);
    if (c.Expected == nullptr)
      EXPECT_EQ(text, nullptr);
    else
      EXPECT_STREQ(text, c.Expected);
  }
}

TEST(SenseText, PairsWithoutTextShowBothNumbersInDecimal) {
  EXPECT_EQ(SenseCodeText(0x3A, 0x05), "58,5");
  EXPECT_EQ(SenseCodeText(0x00, 0x01), "0,1");
  EXPECT_EQ(SenseCodeText(0xFF, 0xFE), "255,254");
  EXPECT_EQ(SenseCodeText(0x24, 0x00), "INVALID FIELD IN CDB");
}

} // namespace
} // namespace qnzb::test
