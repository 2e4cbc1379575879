// Bearer tokens from a file an operator edits while the server runs.

#include "host/token_file.h"

#include <fstream>

#include <gtest/gtest.h>

#include "support/upload_harness.h"

namespace parcelmoor {
namespace {

using testing::TempDir;
using Verdict = TokenFile::Verdict;

TEST(TokenFile, JudgesTheAuthorizationHeaderAgainstTheCurrentFile) {
  TempDir dir;
  const std::string path = (dir.path() / "tokens").string();
  std::ofstream(path) << "# comment\n\n  alpha-1  \r\nbeta-22\n";
  TokenFile tokens(path);
  struct Case {
    const char* header;
    Verdict verdict;
  };
  const Case cases[] = {
      {"Bearer alpha-1", Verdict::kAccepted},
      {"bearer   beta-22 ", Verdict::kAccepted},  // the scheme has no case; spaces around the token go
      {"Bearer alpha-2", Verdict::kWrongToken},
      {"Bearer alpha-1x", Verdict::kWrongToken},
      {"Bearer # comment", Verdict::kWrongToken},
      {"Basic YWxwaGEtMQ==", Verdict::kNoToken},
      {"Bearer", Verdict::kNoToken},
      {"Beareralpha-1", Verdict::kNoToken},
      {"", Verdict::kNoToken},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tokens.Check(c.header), c.verdict) << c.header;
  }
  // Rewritten in place with a token of the same length: the change is seen
  // though the size is not.
  std::ofstream(path) << "# comment\n\n  alpha-9  \r\nbeta-22\n";
  EXPECT_EQ(tokens.Check("Bearer alpha-1"), Verdict::kWrongToken);
  EXPECT_EQ(tokens.Check("Bearer alpha-9"), Verdict::kAccepted);
  std::remove(path.c_str());
  EXPECT_EQ(tokens.Check("Bearer alpha-9"), Verdict::kNoFile);
  EXPECT_THROW(TokenFile((dir.path() / "missing").string()), std::runtime_error);
}

}  // namespace
}  // namespace parcelmoor
