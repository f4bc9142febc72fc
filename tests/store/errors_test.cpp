// Error codes, the error record and its printed lines, and the TOC records' lifetimes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "store/kdrc.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST(StoreErrorNames, TableEdgesAndTheOddName) {
  EXPECT_STREQ(KDRCX_ErrorName(1), "KDRC_ERROR_OUT_OF_MEMORY");
  EXPECT_STREQ(KDRCX_ErrorName(76), "KDRC_EROR_NULL_PARAMETER");
  EXPECT_STREQ(KDRCX_ErrorName(97), "KDRC_ERROR_METAFILE_CACHE_ABANDONED");
  EXPECT_STREQ(KDRCX_ErrorName(106), "KDRC_ERROR_METAFILE_INSERT_ALREADY_IN_DATELIST");
  for (int c = 107; c <= 110; ++c) EXPECT_STREQ(KDRCX_ErrorName(c), "**** NO SUCH ERROR CODE *****");
  EXPECT_EQ(KDRCX_ErrorName(0), nullptr);
  EXPECT_EQ(KDRCX_ErrorName(111), nullptr);
  EXPECT_EQ(KDRCX_ErrorName(-76), nullptr);
}

class ErrorRecord : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(KDRCX_Error_Create(&err_), 0); }
  void TearDown() override { EXPECT_EQ(KDRCX_Error_Destroy(err_), 0); }
  KDRC_ERROR_T* err_ = nullptr;
};

TEST_F(ErrorRecord, ValueIsAppendedWithItsSignAndPrintedWithoutOsLine) {
  CaptureStdout();
  EXPECT_EQ(KDRCX_SetErrorValue(err_, "KDRCSegment", "KDRCSegment_Write", 42, -5, 57), 57);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out,
            "\n***ERROR:     FILE        = KDRCSegment\n"
            "              METHOD      = KDRCSegment_Write\n"
            "              LINENO      = 42\n"
            "              KDR_ERR(57) = KDRC_ERROR_SEGMENT_BAD_OFFSET:= -5\n");
  EXPECT_EQ(err_->osError, 0u);
}

TEST_F(ErrorRecord, OsErrorOfTheFailingCallIsPrintedOnceAndThenForgotten) {
  CaptureStdout();
  KDRCX_NoteOSError(ENOENT);
  KDRCX_SetError(err_, "KDRCUtil", "f", 1, 12);
  KDRCX_SetError(err_, "KDRCUtil", "g", 2, 76);
  std::string out = GetCapturedStdout();
  std::string text = std::strerror(ENOENT);
  EXPECT_NE(out.find("***OSERROR: " + text + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("OS_ERR      = (2): " + text + "\n"), std::string::npos) << out;
  // The second record is not a system call's failure: no OS line, and the odd name of 76.
  size_t second = out.find("METHOD      = g");
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(out.find("OS_ERR", second), std::string::npos);
  EXPECT_NE(out.find("KDR_ERR(76) = KDRC_EROR_NULL_PARAMETER\n", second), std::string::npos);
}

TEST_F(ErrorRecord, EmptyRecordAndBadRecords) {
  CaptureStdout();
  EXPECT_EQ(KDRCX_PrintError(err_), 0);
  EXPECT_EQ(KDRCX_PrintError(nullptr), 2);
  KDRC_ERROR_T bad{};
  bad.signature = 7;
  EXPECT_EQ(KDRCX_SetError(&bad, "m", "f", 1, 5), 36);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out.rfind("\n***ERROR: no message available\n"
                      "***Error: Null Pointer: pErr:KDRCUtil:KDRCX_PrintError:", 0), 0u) << out;
  EXPECT_NE(out.find("***Error: BadSig: KDRC_ERROR_T:KDRCUtil:"), std::string::npos) << out;
  EXPECT_EQ(out.find("TRACEBACK"), std::string::npos);
}

TEST(OsErrorText, FirstLineOnlyAndNoTextForUnknownCodes) {
  char buf[KDRC_OS_TEXT_SIZE];
  std::memset(buf, 'x', sizeof buf);
  CaptureStdout();
  EXPECT_EQ(KDRCX_GetOSErrorText(99999, buf), 0);
  EXPECT_EQ(KDRCX_GetOSErrorText(EACCES, buf), 0);
  EXPECT_EQ(KDRCX_GetOSErrorText(EACCES, nullptr), 2);
  std::string out = GetCapturedStdout();
  EXPECT_STREQ(buf, std::strerror(EACCES));
  EXPECT_EQ(buf[KDRC_OS_TEXT_SIZE - 1], '\0');
  EXPECT_EQ(buf[std::strlen(buf) + 1], '\0');  // zero-filled behind the text
  // The unknown code printed nothing; the known one printed its line.
  EXPECT_EQ(out.find("***OSERROR: "), out.rfind("***OSERROR: "));
  EXPECT_NE(out.find("***OSERROR: " + std::string(std::strerror(EACCES))), std::string::npos);
}

TEST(OsErrorText, UnknownCodeGivesFixedText) {
  char buf[KDRC_OS_TEXT_SIZE];
  EXPECT_EQ(KDRCX_GetOSErrorText(99999, buf), 0);
  EXPECT_STREQ(buf, "***FormatMessage failed");
}

TEST(TocRecords, OpenCloseAndSignatureChecks) {
  KDRC_FILETOC_T* toc = nullptr;
  ASSERT_EQ(KDRCTOC_Open(&toc, KDRC_MODE_STANDALONE), 0);
  ASSERT_NE(toc->pShared, nullptr);
  EXPECT_EQ(toc->pShared->signature, KDRC_FILESHARED_T_SIG);
  EXPECT_EQ(toc->pDateHead, &toc->pShared->dateFirst);
  ASSERT_EQ(KDRCSegmentTOC_Open(toc), 0);
  ASSERT_EQ(KDRCHashTOC_Open(toc), 0);

  CaptureStdout();
  EXPECT_EQ(KDRCTOC_Open(nullptr, 0), 2);
  EXPECT_EQ(KDRCSegmentTOC_Open(nullptr), 2);
  int32_t sig = toc->signature;
  toc->signature = 999;
  EXPECT_EQ(KDRCHashTOC_Close(toc), 36);
  toc->signature = sig;
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("***Error: Null Pointer: pToc:"), std::string::npos) << out;
  EXPECT_NE(out.find("***Error: BadSig: KDRC_FILETOC_T_SIG:"), std::string::npos) << out;
  EXPECT_EQ(out.find("TRACEBACK"), std::string::npos) << out;

  // An owner that has closed its store leaves the closed signature: close still accepts it.
  toc->pShared->signature = KDRC_FILESHARED_T_CLOSED_SIG;
  EXPECT_EQ(KDRCFile_Close(toc), 0);
}

}  // namespace
