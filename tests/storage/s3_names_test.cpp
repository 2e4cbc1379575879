// The names an object store request is built from: the upload directory read
// into bucket and prefix, and the path and query written as SigV4 signs them
// (libcurl signs them as they stand in the URL).
#include "storage/s3/s3_names.h"

#include <gtest/gtest.h>

namespace parcelmoor {
namespace {

TEST(S3Names, DirectoryReadsIntoBucketAndPrefixOrIsRefused) {
  struct Case {
    const char* url;
    const char* bucket;  // nullptr: refused
    const char* prefix;
  } cases[] = {
      {"s3://uploads", "uploads", ""},
      {"s3://uploads/", "uploads", ""},
      {"s3://uploads/in/2026\\", "uploads", "in/2026/"},
      {"s3://my.bucket-1/a b/c", "my.bucket-1", "a b/c/"},
      {"s3://Uploads/in", nullptr, nullptr},   // upper case
      {"s3://up/in", nullptr, nullptr},        // too short
      {"s3://uploads/a//b", nullptr, nullptr}, // empty step
      {"s3://uploads/a/../b", nullptr, nullptr},
      {"s3://uploads/a/./b", nullptr, nullptr},
      {"s3://uploads/a\x01", nullptr, nullptr},
      {"http://uploads/in", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::string why;
    const auto location = ParseS3Url(c.url, why);
    if (c.bucket == nullptr) {
      EXPECT_FALSE(location) << c.url;
      EXPECT_FALSE(why.empty()) << c.url;
      continue;
    }
    ASSERT_TRUE(location) << c.url << ": " << why;
    EXPECT_EQ(location->bucket, c.bucket) << c.url;
    EXPECT_EQ(location->prefix, c.prefix) << c.url;
  }
}

TEST(S3Names, KeysAndPathsUnderALocation) {
  const S3Location location{"uploads", "in/"};
  EXPECT_EQ(KeyOf(location, "s3://uploads/in/a.txt"), "in/a.txt");
  EXPECT_EQ(KeyOf(location, "s3://uploads/other/a.txt"), std::nullopt);
  EXPECT_EQ(KeyOf(location, "s3://uploads/in/"), std::nullopt);
  EXPECT_EQ(location.pathOf("in/a.txt"), "s3://uploads/in/a.txt");
}

TEST(S3Names, QueryIsSortedEscapedAndEveryParameterHasItsEquals) {
  struct Case {
    QueryParameters parameters;
    const char* canonical;
  } cases[] = {
      {{{"uploads", ""}}, "uploads="},
      {{{"uploadId", "a/b+c="}, {"partNumber", "10"}}, "partNumber=10&uploadId=a%2Fb%2Bc%3D"},
      {{{"uploads", ""}, {"prefix", "in/"}, {"key-marker", "x y"}}, "key-marker=x%20y&prefix=in%2F&uploads="},
      {{{"b", "2"}, {"b", "1"}, {"a", "~-._"}}, "a=~-._&b=1&b=2"},
      {{}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(CanonicalQuery(c.parameters), c.canonical);
}

TEST(S3Names, UrlsArePathStyleWithAnEndpointAndVirtualHostedWithout) {
  EXPECT_EQ(RequestUrl("http://127.0.0.1:8080/", "us-east-1", "uploads", "in/a b+é.txt", "uploads="),
            "http://127.0.0.1:8080/uploads/in/a%20b%2B%C3%A9.txt?uploads=");
  EXPECT_EQ(RequestUrl("", "eu-west-3", "uploads", "in/a.txt", ""),
            "https://uploads.s3.eu-west-3.amazonaws.com/in/a.txt");
  EXPECT_EQ(RequestUrl("http://h:1", "us-east-1", "uploads", "", "prefix=in%2F&uploads="),
            "http://h:1/uploads/?prefix=in%2F&uploads=");
}

}  // namespace
}  // namespace parcelmoor
