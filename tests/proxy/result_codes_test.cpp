#include "client/result_codes.h"

#include <gtest/gtest.h>

namespace kdr {
namespace {

TEST(ResultCodes, TextsCallersSeeByteForByte) {
  EXPECT_EQ(KdrErrorText(0), nullptr);
  // Two blanks after the first full stop.
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_NO_SCRIPT),
               "The VXN start script is missing or inaccessible.  KDR_HOME may be incorrect.");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_NOT_INITIALIZED),
               "The VXN client proxy has not been initialized.");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_TICKET_EXPIRED), "ERR_KDRCP_TICKET_EXPIRED (deprecated)");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_VERSION), "ERR_KDRCP_VERSION");
  // A code without a text of its own, its neighbours, and codes passed through from elsewhere.
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_TYPE_ID), "ERR_KDRCP_UNKNOWN");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_MSG_DATA), "ERR_KDRCP_MSG_DATA");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_FILE_BUSY), "ERR_KDRCP_FILE_BUSY");
  EXPECT_STREQ(KdrErrorText(-3018), "ERR_KDRCP_UNKNOWN");
  EXPECT_STREQ(KdrErrorText(-2), "ERR_KDRCP_UNKNOWN");
  EXPECT_STREQ(KdrErrorText(1), "ERR_KDRCP_UNKNOWN");
}

}  // namespace
}  // namespace kdr
