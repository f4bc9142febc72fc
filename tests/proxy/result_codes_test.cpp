#include "proxy/result_codes.h"

#include <gtest/gtest.h>

namespace kdr {
namespace {

TEST(ResultCodes, TextsOfCodesThatAreNotTheirNames) {
  EXPECT_EQ(KdrErrorText(0), nullptr);
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_START_FAILED), "The VXN process failed to start or restart.");
  // Two blanks after the first full stop.
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_NO_SCRIPT),
               "The VXN start script is missing or inaccessible.  KDR_HOME may be incorrect.");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_NO_HOME), "The KDR_HOME environment variable must be set.");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_NOT_INITIALIZED),
               "The VXN client proxy has not been initialized.");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_NO_CONFIG),
               "The proxy could not locate required configuration information.");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_NO_SERVER),
               "The proxy could not locate or start an KDR Client Cache instance.");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_TICKET_EXPIRED), "ERR_KDRCP_TICKET_EXPIRED (deprecated)");
}

TEST(ResultCodes, CodesWithoutATextOfTheirOwnAreUnknown) {
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_TYPE_ID), "ERR_KDRCP_UNKNOWN");
  EXPECT_STREQ(KdrErrorText(-3018), "ERR_KDRCP_UNKNOWN");
  EXPECT_STREQ(KdrErrorText(-2), "ERR_KDRCP_UNKNOWN");
  EXPECT_STREQ(KdrErrorText(1), "ERR_KDRCP_UNKNOWN");
  EXPECT_STREQ(KdrErrorText(-3098), "ERR_KDRCP_UNKNOWN");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_NOT_SUPPORTED), "ERR_KDRCP_NOT_SUPPORTED");
  EXPECT_STREQ(KdrErrorText(ERR_KDRCP_UNKNOWN_FILE_SIZE), "ERR_KDRCP_UNKNOWN_FILE_SIZE");
  // The name-texts run contiguously from -3002 to -3017 except -3006 and -3014.
  const char* names[] = {"ERR_KDRCP_BAD_ARG",        "ERR_KDRCP_BAD_FILE",  "ERR_KDRCP_TOO_MANY",
                         "ERR_KDRCP_BAD_TICKET",     nullptr,               "ERR_KDRCP_EOF",
                         "ERR_KDRCP_THREAD_COUNT",   "ERR_KDRCP_OUT_OF_MEMORY",
                         "ERR_KDRCP_NOT_EXECUTED",   "ERR_KDRCP_SEQUENCE",  "ERR_KDRCP_MSG_TYPE",
                         "ERR_KDRCP_MSG_DATA",       nullptr,               "ERR_KDRCP_FILE_BUSY",
                         "ERR_KDRCP_CANCELLED",      "ERR_KDRCP_VERSION"};
  for (int i = 0; i < 16; ++i) {
    if (names[i] != nullptr) {
      EXPECT_STREQ(KdrErrorText(-3002 - i), names[i]) << -3002 - i;
    }
  }
}

}  // namespace
}  // namespace kdr
