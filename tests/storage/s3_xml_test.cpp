// The store's XML answers as S3 and Swift's s3api write them, and the
// CompleteMultipartUpload body.
#include "storage/s3/s3_xml.h"

#include <gtest/gtest.h>

namespace parcelmoor {
namespace {

constexpr const char* kDeclaration = "<?xml version='1.0' encoding='UTF-8'?>\n";

TEST(S3Xml, AnswersAreReadOrRefused) {
  const std::string initiated = std::string(kDeclaration) +
      "<InitiateMultipartUploadResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Bucket>b</Bucket>"
      "<Key>in/a</Key><UploadId>ZmFhNjVj-x_y</UploadId></InitiateMultipartUploadResult>";
  EXPECT_EQ(ReadUploadId(initiated), "ZmFhNjVj-x_y");
  EXPECT_EQ(ReadUploadId("<InitiateMultipartUploadResult><UploadId/></InitiateMultipartUploadResult>"),
            std::nullopt);
  EXPECT_EQ(ReadUploadId("<Error><Code>AccessDenied</Code></Error>"), std::nullopt);
  EXPECT_EQ(ReadUploadId("not xml <"), std::nullopt);

  EXPECT_EQ(ReadCompletedETag("<CompleteMultipartUploadResult><ETag>&quot;abc-2&quot;</ETag>"
                              "</CompleteMultipartUploadResult>"),
            "\"abc-2\"");
  // S3 may answer a Complete with 200 and an Error in the body.
  const auto error = ReadS3Error(std::string(kDeclaration) +
                                 "<Error><Code>InvalidPart</Code><Message>One or more parts</Message></Error>");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, "InvalidPart");
  EXPECT_EQ(error->message, "One or more parts");
  EXPECT_EQ(ReadS3Error("<CompleteMultipartUploadResult/>"), std::nullopt);
}

TEST(S3Xml, PendingUploadsPageWithItsMarkers) {
  const auto page = ReadPendingUploads(
      "<ListMultipartUploadsResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Bucket>b</Bucket>"
      "<IsTruncated>true</IsTruncated><NextKeyMarker>in/b</NextKeyMarker><NextUploadIdMarker>u2</NextUploadIdMarker>"
      "<Upload><Key>in/a</Key><UploadId>u1</UploadId><Initiated>2026-12-07T23:59:59.000Z</Initiated></Upload>"
      "<Upload><Key>in/b</Key><UploadId>u2</UploadId><Initiated>2026-12-08T00:00:01Z</Initiated></Upload>"
      "</ListMultipartUploadsResult>");
  ASSERT_TRUE(page);
  EXPECT_TRUE(page->truncated);
  EXPECT_EQ(page->nextKeyMarker, "in/b");
  EXPECT_EQ(page->nextUploadIdMarker, "u2");
  ASSERT_EQ(page->uploads.size(), 2u);
  EXPECT_EQ(page->uploads[0].key, "in/a");
  EXPECT_EQ(page->uploads[1].uploadId, "u2");
  EXPECT_EQ(page->uploads[1].initiated - page->uploads[0].initiated, std::chrono::seconds(2));
  EXPECT_FALSE(ReadPendingUploads("<ListMultipartUploadsResult><Upload><Key>k</Key><UploadId>u</UploadId>"
                                  "<Initiated>yesterday</Initiated></Upload></ListMultipartUploadsResult>"));
}

TEST(S3Xml, IsoTimes) {
  EXPECT_EQ(ReadIsoTime("1970-01-02T00:00:00Z")->time_since_epoch(), std::chrono::days(1));
  EXPECT_EQ(ReadIsoTime("1970-01-01T00:01:00.123456+00:00")->time_since_epoch(), std::chrono::minutes(1));
  for (const char* bad : {"", "1970-01-01", "1970-01-01T00:00:00", "1970-01-01T00:00:00+01:00"}) {
    EXPECT_EQ(ReadIsoTime(bad), std::nullopt) << bad;
  }
}

TEST(S3Xml, CompleteBodyNamesEachPartInOrderEscaped) {
  EXPECT_EQ(CompleteMultipartBody({"\"a\"", "\"b&c\""}),
            "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>&quot;a&quot;</ETag></Part>"
            "<Part><PartNumber>2</PartNumber><ETag>&quot;b&amp;c&quot;</ETag></Part></CompleteMultipartUpload>");
}

}  // namespace
}  // namespace parcelmoor
